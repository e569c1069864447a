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

        // The menu names the keeper's stop where there is a unit or a container
        // to stop, whoever owns the process, never the engine's unit; beside
        // Kill only where the keeper would start the process again. Kill itself
        // stays as it is on every row.
        function test_keeperOffered_data() {
            const others = { pid: 0, processName: "", user: "postgres", fromKernel: true, uid: 4242 }
            return [
                { tag: "Restart=always", keeper: nginx, item: "Stop Service", shown: true,
                  description: "The service nginx.service (Restart=always) starts this process again when it ends." },
                { tag: "restart policy unless-stopped", keeper: web, item: "Stop Container", shown: true,
                  description: "The container web-1 (restart policy unless-stopped) starts this process again when it ends." },
                { tag: "user service, Restart=no", keeper: appUnit, item: "Stop Service" },
                { tag: "another user's service", keeper: { kind: "service", unit: "postgresql.service" },
                  fields: others, item: "Stop Service" },
                { tag: "the engine's own unit", keeper: { kind: "service", unit: "docker.service", restart: "always" } },
                { tag: "the engine's containerd", keeper: { kind: "service", unit: "containerd.service", restart: "always" } },
                { tag: "no keeper", keeper: {} },
            ]
        }

        function test_keeperOffered(data) {
            const popover = makePopover([row(data.keeper, data.fields)])
            const menu = openMenu(popover)
            const expected = ["Copy Port", "Copy PID", "Copy Command Line", "Open in Browser", "Open Working Folder"]
            compare(visibleMenuItems(menu).map(i => i.text),
                    expected.concat(data.item ? [data.item] : [], ["Copy Stop Command"]))
            menu.close()
            if (data.fields)
                return
            const target = rows(popover)[0]
            const button = child(target, "keeperButton")
            compare(button.visible, !!data.shown)
            const kill = child(target, "stopButton")
            compare(kill.text, "Kill")
            compare(target.stopToolTip, "Send SIGTERM to PID 42")
            if (!data.shown)
                return
            compare(button.text, data.item)
            compare(Fixture.accessibleName(button), data.item)
            compare(Fixture.accessibleDescription(button), data.description)
            mouseClick(kill)
            compare(Fixture.signalsSent(), [{ pid: 42, signal: 15 }], "Kill still signals the process")
            compare(Fixture.keeperStops(), [])
        }

        function confirm(popover) {
            const dialog = child(popover, "keeperConfirmation")
            tryCompare(dialog, "opened", true)
            mouseClick(findChild(dialog.footer, "keeperConfirm"))
            tryCompare(dialog, "visible", false)
        }

        // Each way to the keeper's stop asks first, naming it; Escape, Cancel
        // and Return (Cancel has the focus) stop nothing.
        function test_confirmation_data() {
            const click = name => dialog => mouseClick(findChild(dialog.footer, name))
            const keys = list => () => list.forEach(key => keyClick(key))
            return [
                { tag: "menu, confirmed", keeper: nginx, from: "menu", answer: click("keeperConfirm"),
                  question: "Stop the service nginx.service?", password: true, stops: ["unit:nginx.service"] },
                { tag: "menu, user unit, Escape", keeper: appUnit, from: "menu", answer: keys([Qt.Key_Escape]),
                  question: "Stop the service app.service?", password: false, stops: [] },
                { tag: "button, Cancel", keeper: web, from: "button", answer: click("keeperCancel"),
                  question: "Stop the container web-1?", password: false, stops: [] },
                { tag: "button, Return on Cancel", keeper: web, from: "button", answer: keys([Qt.Key_Return]),
                  question: "Stop the container web-1?", password: false, stops: [] },
                { tag: "button, Tab and Space", keeper: web, from: "button", answer: keys([Qt.Key_Tab, Qt.Key_Space]),
                  question: "Stop the container web-1?", password: false, stops: [webKey] },
            ]
        }

        function test_confirmation(data) {
            const popover = makePopover([row(data.keeper)])
            const dialog = child(popover, "keeperConfirmation")
            if (data.from === "menu")
                mouseClick(menuItem(openMenu(popover), "stopKeeper"))
            else
                mouseClick(child(rows(popover)[0], "keeperButton"))
            tryCompare(dialog, "opened", true)
            compare(dialog.header.text, data.question)
            compare(dialog.contentItem.text.indexOf("password") >= 0, data.password)
            compare(Fixture.keeperStops(), [], "nothing before the answer")
            data.answer(dialog)
            tryCompare(dialog, "visible", false)
            compare(Fixture.keeperStops(), data.stops)
            compare(popover.visible, true, "the panel stays")
        }

        // While the stop runs every control for that keeper says so and
        // cannot start another; a stop reads the list again, and a port still
        // held says so on its row; a failure is an alert, with nothing to read.
        function test_afterTheStop_data() {
            return [
                { tag: "stopped, the port still held", kind: "Stopped", after: [{ pid: 43, processName: "server", port: 8080 }],
                  note: "Port 8080 is still held after the service nginx.service stopped." },
                { tag: "password prompt dismissed", kind: "Cancelled",
                  alert: "Did not stop the service nginx.service: the password prompt was dismissed." },
            ]
        }

        function test_afterTheStop(data) {
            const popover = makePopover([row(nginx), row(nginx, { networkProtocol: "UDP" })])
            mouseClick(child(rows(popover)[0], "keeperButton"))
            confirm(popover)
            const button = child(rows(popover)[1], "keeperButton")
            compare(button.text, "Stopping…", "the other row of the same keeper is busy too")
            verify(!button.enabled)
            mouseClick(button)
            const menu = openMenu(popover, "right click", 1)
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
            const note = child(rows(popover)[0], "note")
            verify(note.visible)
            compare(note.text, data.note)
            compare(Fixture.accessibleDescription(rows(popover)[0]), data.note)
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
            confirm(popover)
            compare(Fixture.keeperStops(), ["unit:nginx.service"])
            compare(action.text, "Stopping…")
            Fixture.finishKeeperStop("Stopped")
            verify(!banner.visible, "the stop answers the report")
        }
    }
}
