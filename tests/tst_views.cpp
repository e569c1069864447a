// Runs the QML view tests under tests/views against the real views, with the
// models and login items of ViewFixture.
#include "ViewFixture.h"

#include <QLocale>
#include <QQmlEngine>
#include <QQuickStyle>
#include <QtQml/qqmlextensionplugin.h>
#include <QtQuickTest/quicktest.h>

Q_IMPORT_QML_PLUGIN(QuaylinePlugin)

#ifdef __SANITIZE_ADDRESS__
// Qt is built without frame pointers, so the fast unwinder stops at the first
// Qt frame and a leak inside Qt Quick could not be told from one of ours.
// Full stacks let tests/lsan.supp name the Qt functions exactly. Options given
// in ASAN_OPTIONS still win.
extern "C" __attribute__((visibility("default"), used)) const char *__asan_default_options() {
    return "fast_unwind_on_malloc=0";
}
#endif

class Setup : public QObject {
    Q_OBJECT

public slots:
    void applicationAvailable() {
        // A locale that groups digits, so that any number shown with grouping fails.
        QLocale::setDefault(QLocale(QLocale::German, QLocale::Germany));
        QQuickStyle::setStyle(QStringLiteral("Fusion"));
    }

    void qmlEngineAvailable(QQmlEngine *engine) {
        engine->addImportPath(QStringLiteral("qrc:/"));
        qmlRegisterSingletonInstance("QuaylineTest", 1, 0, "Fixture", &m_fixture);
    }

    void cleanupTestCase() { m_fixture.releaseModels(); }

private:
    ViewFixture m_fixture;
};

QUICK_TEST_MAIN_WITH_SETUP(tst_views, Setup)

#include "tst_views.moc"
