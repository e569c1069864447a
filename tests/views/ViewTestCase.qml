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

    // A test that opened a window of its own hands the focus back.
    function cleanup() {
        if (!Window.window.active) {
            Window.window.requestActivate()
            tryVerify(() => Window.window.active, 3000, "the test window is active again")
        }
    }

    function init() {
        Fixture.reset()
        Fixture.captureDesktopActions(DesktopActions)
    }

    // A panel, shown, whose first scan found these entries (and this error).
    function makePopover(entries, error, notice) {
        const popover = createTemporaryObject(popoverComponent, testCase.parent, { viewModel: Fixture.newModel() })
        popover.shown()
        Fixture.finishScan(entries, error, notice || "")
        return popover
    }

    // A panel over a model that has not scanned yet.
    function makeUnscannedPopover() {
        return createTemporaryObject(popoverComponent, testCase.parent, { viewModel: Fixture.newModel() })
    }

    function makeSettings(loginItem, viewModel, notifier) {
        return createTemporaryObject(settingsComponent, testCase.parent,
                                     { viewModel: viewModel || Fixture.newModel(), loginItem: loginItem,
                                       notifier: notifier || null })
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

    // Opens the row menu of the index-th row (0 unless given): by "right click"
    // (unless how says otherwise), "menu key" or "shift F10".
    function openMenu(popover, how, index) {
        const row = rows(popover)[index || 0]
        if (!how || how === "right click") {
            mouseClick(row, 150, row.height / 2, Qt.RightButton)
        } else {
            keyClick(Qt.Key_Down)
            if (how === "menu key")
                keyClick(Qt.Key_Menu)
            else
                keyClick(Qt.Key_F10, Qt.ShiftModifier)
        }
        const menu = child(popover, "rowMenu")
        tryCompare(menu, "opened", true)
        return menu
    }

    function menuItem(menu, name) {
        for (let i = 0; i < menu.count; ++i) {
            if (menu.itemAt(i).objectName === name)
                return menu.itemAt(i)
        }
        fail("no menu item " + name)
    }

    function visibleMenuItems(menu) {
        return Array.from({ length: menu.count }, (_, i) => menu.itemAt(i)).filter(i => i.visible)
    }

    function entry(pid, name, port, protocol) {
        return { pid: pid, processName: name, port: port, networkProtocol: protocol || "TCP" }
    }

    // The visible items under item (item included) that pass the test.
    function visibleItems(item, test) {
        if (!item.visible)
            return []
        let found = test(item) ? [item] : []
        // Item lists are no iterables in Qt 6.4.
        for (let i = 0; i < item.children.length; ++i)
            found = found.concat(visibleItems(item.children[i], test))
        return found
    }

    // The text items of the tooltips and menus open in the window: popups
    // live in the window's overlay, outside the views.
    function popupTextItems() {
        let found = []
        const layers = Window.contentItem.children
        for (let i = 0; i < layers.length; ++i) {
            const layer = layers[i]
            if (layer !== testCase.parent)
                found = found.concat(visibleItems(layer, i => typeof i.text === "string" && i.text !== ""))
        }
        return found
    }

    function popupTexts() {
        return popupTextItems().map(i => i.text)
    }

    // Tabs once round the view's focus chain. At each stop exactly one focus
    // frame shows, and it surrounds the focused item, which has a name for
    // screen readers. Gives the stops' object names.
    function tabRound(view) {
        const names = []
        let first = null
        for (let i = 0; i < 20; ++i) {
            keyClick(Qt.Key_Tab)
            const item = Window.activeFocusItem
            if (item === first)
                break
            if (first === null)
                first = item
            // A list hands its focus on to a row; the stop is the list.
            let named = item
            while (named.objectName === "" && named.parent)
                named = named.parent
            names.push(named.objectName)
            verify(Fixture.accessibleName(named) !== "", "a screen reader's name for " + named.objectName)
            const frames = visibleItems(view, i => i.objectName === "focusFrame")
            compare(frames.length, 1, "focus frames at " + item.objectName)
            const centre = item.mapToItem(frames[0], item.width / 2, item.height / 2)
            verify(frames[0].contains(centre), "the frame surrounds " + item.objectName)
        }
        return names.sort()
    }

    // How wide a text is in a font, drawn as the characters themselves.
    function plainWidth(text, font) {
        metrics.font = font
        metrics.text = text
        return metrics.advanceWidth
    }
}
