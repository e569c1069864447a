import QtQuick
import QtTest
import Quayline
import QuaylineTest

Item {
    width: 380
    height: 460

    ViewTestCase {
        name: "KeeperStop"

        readonly property var nginx: ({ kind: "service", unit: "nginx.service", restart: "always" })
        readonly property var appUnit: ({ kind: "service", unit: "app.service", userUnit: true, restart: "no" })
        readonly property var web: ({ kind: "container", name: "web-1", policy: "unless-stopped" })
        readonly property string webKey: "container:c0ffee000000" // the short id

        function row(keeper, fields) {
            return Object.assign({ pid: 42, processName: "server", port: 8080, keeper: keeper }, fields || {})
        }

        function menuTexts(menu) {
            const items = Array.from({ length: menu.count }, (_, i) => menu.itemAt(i))
            return items.filter(i => i.visible).map(i => i.text)
        }

        function openMenu(popover, index) {
            const target = rows(popover)[index || 0]
            mouseClick(target, 150, target.height / 2, Qt.RightButton)
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

        // The menu names the keeper's stop only where there is a unit or a
        // container to stop, whoever owns the process; never the engine's unit.
        function test_menuOffersTheKeeper_data() {
            const others = { pid: 0, processName: "", user: "postgres", fromKernel: true, uid: 4242 }
            return [
                { tag: "system service", keeper: nginx, item: "Stop Service" },
                { tag: "user service", keeper: appUnit, item: "Stop Service" },
                { tag: "container", keeper: web, item: "Stop Container" },
                { tag: "another user's service", keeper: { kind: "service", unit: "postgresql.service" },
                  fields: others, item: "Stop Service" },
                { tag: "the engine's own unit", keeper: { kind: "service", unit: "docker.service", restart: "always" } },
                { tag: "no keeper", keeper: {} },
            ]
        }

        function test_menuOffersTheKeeper(data) {
            const popover = makePopover([row(data.keeper, data.fields)])
            const menu = openMenu(popover)
            const expected = ["Copy Port", "Copy PID", "Copy Command Line", "Open in Browser", "Open Working Folder"]
            if (data.item)
                expected.push(data.item)
            expected.push("Copy Stop Command")
            compare(menuTexts(menu), expected)
            menu.close()
        }

        // Beside Kill only where the keeper would start the process again;
        // Kill itself stays as it is on every row.
        function test_stopControlOffersTheKeeper_data() {
            return [
                { tag: "Restart=always", keeper: nginx, shown: "Stop Service",
                  description: "The service nginx.service (Restart=always) starts this process again when it ends." },
                { tag: "restart policy unless-stopped", keeper: web, shown: "Stop Container",
                  description: "The container web-1 (restart policy unless-stopped) starts this process again when it ends." },
                { tag: "Restart=no", keeper: appUnit },
                { tag: "engine's unit", keeper: { kind: "service", unit: "containerd.service", restart: "always" } },
                { tag: "none", keeper: {} },
            ]
        }

        function test_stopControlOffersTheKeeper(data) {
            const popover = makePopover([row(data.keeper)])
            const target = rows(popover)[0]
            const button = child(target, "keeperButton")
            compare(button.visible, !!data.shown)
            const kill = child(target, "stopButton")
            compare(kill.text, "Kill")
            compare(target.stopToolTip, "Send SIGTERM to PID 42")
            if (!data.shown)
                return
            compare(button.text, data.shown)
            compare(Fixture.accessibleName(button), data.shown)
            compare(Fixture.accessibleDescription(button), data.description)
            mouseClick(kill)
            compare(Fixture.signalsSent(), [{ pid: 42, signal: 15 }], "Kill still signals the process")
            compare(Fixture.keeperStops(), [])
        }

        // Each way to the keeper's stop asks first, naming it; Escape, Cancel
        // and Return (Cancel has the focus) stop nothing.
        function test_confirmation_data() {
            return [
                { tag: "menu, confirmed", keeper: nginx, from: "menu", answer: "confirm",
                  question: "Stop the service nginx.service?", password: true, stops: ["unit:nginx.service"] },
                { tag: "menu, user unit, Escape", keeper: appUnit, from: "menu", answer: "escape",
                  question: "Stop the service app.service?", password: false, stops: [] },
                { tag: "button, Cancel", keeper: web, from: "button", answer: "cancel",
                  question: "Stop the container web-1?", password: false, stops: [] },
                { tag: "button, Return on Cancel", keeper: web, from: "button", answer: "return",
                  question: "Stop the container web-1?", password: false, stops: [] },
                { tag: "button, Tab and Space", keeper: web, from: "button", answer: "tab space",
                  question: "Stop the container web-1?", password: false, stops: [webKey] },
            ]
        }

        function test_confirmation(data) {
            const popover = makePopover([row(data.keeper)])
            const dialog = child(popover, "keeperConfirmation")
            if (data.from === "menu") {
                const menu = openMenu(popover)
                mouseClick(menuItem(menu, "stopKeeper"))
            } else {
                mouseClick(child(rows(popover)[0], "keeperButton"))
            }
            tryCompare(dialog, "opened", true)
            compare(dialog.header.text, data.question)
            compare(dialog.contentItem.text.indexOf("password") >= 0, data.password)
            compare(Fixture.keeperStops(), [], "nothing before the answer")
            switch (data.answer) {
            case "confirm":
                mouseClick(findChild(dialog.footer, "keeperConfirm"))
                break
            case "cancel":
                mouseClick(findChild(dialog.footer, "keeperCancel"))
                break
            case "escape":
                keyClick(Qt.Key_Escape)
                break
            case "return":
                keyClick(Qt.Key_Return)
                break
            case "tab space":
                keyClick(Qt.Key_Tab)
                keyClick(Qt.Key_Space)
                break
            }
            tryCompare(dialog, "visible", false)
            compare(Fixture.keeperStops(), data.stops)
            compare(popover.visible, true, "the panel stays")
        }

        function confirmKeeperStop(popover) {
            mouseClick(child(rows(popover)[0], "keeperButton"))
            const dialog = child(popover, "keeperConfirmation")
            tryCompare(dialog, "opened", true)
            mouseClick(findChild(dialog.footer, "keeperConfirm"))
            tryCompare(dialog, "visible", false)
        }

        // While the stop runs every control for that keeper says so and
        // cannot start another; what follows depends on how it ended.
        function test_afterTheStop_data() {
            return [
                { tag: "stopped, the row goes", kind: "Stopped", after: [] },
                { tag: "stopped, the port still held", kind: "Stopped", after: [{ pid: 43, processName: "server", port: 8080 }],
                  note: "Port 8080 is still held after the service nginx.service stopped." },
                { tag: "password prompt cancelled", kind: "Cancelled", message: "",
                  alert: "Did not stop the service nginx.service: the password prompt was dismissed." },
                { tag: "refused", kind: "Refused", message: "Access denied.",
                  alert: "Not allowed to stop the service nginx.service: Access denied." },
            ]
        }

        function test_afterTheStop(data) {
            const popover = makePopover([row(nginx), row(nginx, { networkProtocol: "UDP" })])
            confirmKeeperStop(popover)
            const button = child(rows(popover)[1], "keeperButton")
            compare(button.text, "Stopping…", "the other row of the same keeper is busy too")
            verify(!button.enabled)
            mouseClick(button)
            const menu = openMenu(popover, 1)
            const item = menuItem(menu, "stopKeeper")
            compare(item.text, "Stopping…")
            verify(!item.enabled)
            menu.close()
            compare(Fixture.keeperStops(), ["unit:nginx.service"])

            Fixture.finishKeeperStop(data.kind, data.message || "")
            const alert = child(popover, "stopFailureAlert")
            if (data.alert) {
                tryCompare(alert, "opened", true)
                compare(child(alert.contentItem.parent, "alertMessage").text, data.alert)
                compare(Fixture.pendingScans(), 0, "nothing changed, nothing to read again")
                compare(child(rows(popover)[0], "keeperButton").text, "Stop Service")
                return
            }
            verify(!alert.opened)
            tryVerify(() => Fixture.pendingScans() > 0, 3000, "the list is read again")
            Fixture.finishScan(data.after)
            compare(rows(popover).length, data.after.length)
            if (data.note) {
                const note = child(rows(popover)[0], "note")
                verify(note.visible)
                compare(note.text, data.note)
                compare(Fixture.accessibleDescription(rows(popover)[0]), data.note)
            }
        }

        // Kill, and the port is taken again at once: the panel says by whom
        // and offers the keeper's stop; that stop, once done, answers it.
        function test_respawnReport_data() {
            return [
                { tag: "kept by a service", keeper: nginx, action: "Stop Service",
                  text: "Port 8080 was taken again by PID 43 (server) right after PID 42 stopped. "
                        + "It is kept by the service nginx.service (Restart=always)." },
                { tag: "nothing known keeps it", keeper: {}, action: "",
                  text: "Port 8080 was taken again by PID 43 (server) right after PID 42 stopped." },
            ]
        }

        function test_respawnReport(data) {
            const popover = makePopover([row({})])
            const banner = child(popover, "respawnReport")
            verify(!banner.visible)
            mouseClick(child(rows(popover)[0], "stopButton"))
            tryVerify(() => Fixture.pendingScans() > 0, 3000, "a look after the stop")
            Fixture.finishScan([row(data.keeper, { pid: 43 })])
            verify(banner.visible)
            compare(child(banner, "respawnText").text, data.text)
            compare(Fixture.accessibleName(banner), data.text)
            const action = child(banner, "respawnKeeperStop")
            compare(action.visible, data.action !== "")
            if (data.action === "") {
                mouseClick(child(banner, "respawnDismiss"))
                verify(!banner.visible)
                return
            }
            compare(action.text, data.action)
            mouseClick(action)
            const dialog = child(popover, "keeperConfirmation")
            tryCompare(dialog, "opened", true)
            mouseClick(findChild(dialog.footer, "keeperConfirm"))
            tryCompare(dialog, "visible", false)
            compare(Fixture.keeperStops(), ["unit:nginx.service"])
            compare(action.text, "Stopping…")
            Fixture.finishKeeperStop("Stopped")
            verify(!banner.visible, "the stop answers the report")
        }
    }
}
