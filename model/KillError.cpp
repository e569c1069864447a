#include "model/KillError.h"

QString KillError::message() const {
    switch (m_kind) {
    case Kind::NotOwned:
        return QStringLiteral("This process is owned by \u201c") + m_user +
               QStringLiteral("\u201d, not you. Quayline only stops processes you own.");
    case Kind::Failed:
        return QStringLiteral("Failed to signal the process (error %1).").arg(m_code);
    case Kind::PermissionDenied:
        return QStringLiteral("The system denied permission to stop this process.");
    case Kind::ProcessGone:
        return QStringLiteral("That process has already exited.");
    }
    Q_UNREACHABLE();
}
