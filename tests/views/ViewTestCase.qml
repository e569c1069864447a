import QtQuick
import QtTest
import Quayline
import QuaylineTest

// What every view test needs: fresh fixtures before each test, the views built
// over the fixture's models, and ways to find their parts. The views go into
// this case's parent, the scene of the test file.
TestCase {
    id: testCase

    when: windowShown

    Component {
        id: popoverComponent
        PopoverView {}
    }

    Component {
        id: settingsComponent
        SettingsView {}
    }

    TextMetrics {
        id: metrics
    }

    function init() {
        Fixture.reset()
    }

    // A panel, shown, whose first scan found these entries (and this error).
    function makePopover(entries, error) {
        const popover = createTemporaryObject(popoverComponent, testCase.parent, { viewModel: Fixture.newModel() })
        popover.shown()
        Fixture.finishScan(entries, error)
        return popover
    }

    function makeSettings(loginItem, parentItem) {
        return createTemporaryObject(settingsComponent, parentItem || testCase.parent,
                                     { viewModel: Fixture.newModel(), loginItem: loginItem })
    }

    function child(item, name) {
        const found = findChild(item, name)
        verify(found !== null, "no child " + name)
        return found
    }

    function rows(popover) {
        const list = child(popover, "portList")
        list.forceLayout()
        return Array.from({ length: list.count }, (_, i) => findChild(list.itemAtIndex(i), "portRow"))
    }

    function entry(pid, name, port, protocol) {
        return { pid: pid, processName: name, port: port, networkProtocol: protocol || "TCP" }
    }

    // How wide a text is in a font, drawn as the characters themselves.
    function plainWidth(text, font) {
        metrics.font = font
        metrics.text = text
        return metrics.advanceWidth
    }
}
