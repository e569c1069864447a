import QtQuick
import QtTest
import Quayline
import QuaylineTest

Item {
    width: 380
    height: 460

    ViewTestCase {
        name: "PortRowView"

        function test_stopStageIsSharedByTheRowsOfOnePid() {
            const popover = makePopover([entry(42, "node", 3000), entry(7, "sshd", 22), entry(42, "node", 5353, "UDP")])
            const stage = () => rows(popover).map(row => child(row, "stopButton").text).join(" ")
            compare(stage(), "Kill Kill Kill")
            mouseClick(child(rows(popover)[1], "stopButton"))   // sshd, pid 7
            compare(Fixture.signalsSent(), [{ pid: 7, signal: 15 }])
            compare(stage(), "Kill Force Kill")
            mouseClick(child(rows(popover)[0], "stopButton"))   // node's TCP row
            compare(stage(), "Force Force Force")
            compare(rows(popover)[2].stopToolTip, "Process didn’t exit — send SIGKILL to PID 42")
            mouseClick(child(rows(popover)[2], "stopButton"))   // node's UDP row now forces
            compare(Fixture.signalsSent()[2], { pid: 42, signal: 9 })
            compare(stage(), "Kill Force Kill", "after SIGKILL the pid starts over")
        }

        // A press within the tooltip's delay: the tooltip that then shows must
        // speak of SIGKILL, like the red "Force" beside it.
        function test_stopToolTipFollowsTheStage() {
            const popover = makePopover([entry(42, "node", 3000)])
            const button = child(rows(popover)[0], "stopButton")
            mouseMove(button)
            mouseClick(button)
            compare(button.text, "Force")
            tryVerify(() => popupTexts().length > 0, 3000, "the tooltip shows")
            compare(popupTexts(), ["Process didn’t exit — send SIGKILL to PID 42"])
            compare(Fixture.accessibleName(button), "Force")
            compare(Fixture.accessibleDescription(button), "Process didn’t exit — send SIGKILL to PID 42")
        }

        // What the row shows and what a screen reader is told: names as the
        // characters themselves, numbers without grouping, hidden characters
        // escaped; a long name is cut before Kill and whole in its tooltip.
        function test_rowTexts_data() {
            const theirs = { user: "alice", fromKernel: true, uid: 4242, port: 8080 }
            const unit = "u".repeat(300) + ".service"
            const their = fields => Object.assign({}, theirs, fields)
            return [
                { tag: "UDP without a state", fields: { pid: 7, processName: "avahi-daemon", port: 5353,
                                                       networkProtocol: "UDP", state: "" },
                  shown: "avahi-daemon", pid: "PID 7", name: "Port 5353, avahi-daemon, PID 7, UDP" },
                { tag: "placeholders in the name", fields: { pid: 1, processName: "%2 %1", port: 80 },
                  shown: "%2 %1", pid: "PID 1", name: "Port 80, %2 %1, PID 1, TCP, listening" },
                // Read as markup the name would shrink to "x&", a fraction of its width.
                { tag: "markup, six digits, no grouping", fields: { pid: 123456, processName: "<b>x</b>&amp;", port: 65535 },
                  shown: "<b>x</b>&amp;", pid: "PID 123456", name: "Port 65535, <b>x</b>&amp;, PID 123456, TCP, listening",
                  plain: true },
                { tag: "another user's port: who holds it", fields: { pid: 0, processName: "", user: "postgres",
                    fromKernel: true, uid: 4242, port: 5432, process: { unit: "postgresql.service" } },
                  shown: "postgres, postgresql.service", pid: "no process known",
                  name: "Port 5432, postgres, postgresql.service, TCP, listening" },
                { tag: "newline in a container name", fields: their({ pid: 88, processName: "nginx",
                                                                     containerName: "web\nPID 1 · root" }),
                  shown: "nginx", pid: "PID 88 · alice, web\\x0aPID 1 · root",
                  name: "Port 8080, nginx, PID 88, alice, web\\x0aPID 1 · root, TCP, listening", cut: "pid" },
                { tag: "right-to-left override in a container name", fields: their({ pid: 0, processName: "",
                                                                                    containerName: "safe\u202egpj.exe" }),
                  shown: "alice, safe\\u202egpj.exe", pid: "no process known",
                  name: "Port 8080, alice, safe\\u202egpj.exe, TCP, listening" },
                { tag: "escape in a process name", fields: { pid: 3, processName: "a\x1b[2Jb", port: 80 },
                  shown: "a\\x1b[2Jb", pid: "PID 3", name: "Port 80, a\\x1b[2Jb, PID 3, TCP, listening" },
                { tag: "markup in a process and a container name",
                  fields: their({ pid: 88, processName: "<img src=x.png>", user: "al", containerName: "<i></i>" }),
                  shown: "<img src=x.png>", pid: "PID 88 · al, <i></i>",
                  name: "Port 8080, <img src=x.png>, PID 88, al, <i></i>, TCP, listening", plain: true },
                { tag: "308-character unit name beside the pid", fields: their({ pid: 88, processName: "postgres",
                                                                                process: { unit: unit } }),
                  shown: "postgres", pid: "PID 88 · alice, " + unit,
                  name: "Port 8080, postgres, PID 88, alice, " + unit + ", TCP, listening", cut: "pid" },
                { tag: "308-character unit name as the name", fields: their({ pid: 0, processName: "",
                                                                             process: { unit: unit } }),
                  shown: "alice, " + unit, pid: "no process known",
                  name: "Port 8080, alice, " + unit + ", TCP, listening", cut: "processName" },
            ]
        }

        function test_rowTexts(data) {
            const row = rows(makePopover([data.fields]))[0]
            const label = child(row, "processName")
            compare([label.text, child(row, "pid").text, child(row, "port").text],
                    [data.shown, data.pid, String(data.fields.port)])
            compare(Fixture.accessibleName(row), data.name)
            compare(Fixture.accessibleDescription(row), data.shown)
            const kill = child(row, "stopButton")
            for (const name of ["processName", "pid"]) {
                const text = child(row, name)
                verify(text.mapToItem(kill, text.contentWidth, 0).x <= 0, name + " runs under Kill")
                compare(text.truncated, data.cut === name, name + " cut")
                // Read as markup a name would shrink (to "x&", or an image).
                if (data.plain)
                    verify(text.contentWidth > 0.8 * plainWidth(text.text, text.font), name + " as markup")
            }
            if (!data.cut)
                return
            mouseMove(child(row, data.cut))
            tryVerify(() => popupTexts().length > 0, 3000, "the tooltip shows")
            compare(popupTexts()[0].split("\n")[0], child(row, data.cut).text)
        }

        function test_identityToolTip_data() {
            const ago = seconds => new Date(Date.now() - seconds * 1000)
            const node = { commandLine: ["node", "server.js", "--title", "my app"], cwd: "/srv/app",
                           unit: "app.service", startedAt: ago(5 * 60 + 10) }
            return [
                { tag: "nothing known", name: "node", process: {}, text: "node" },
                { tag: "everything known", name: "node", process: node,
                  text: "node\nnode server.js --title 'my app'\nFolder: /srv/app\nUnit: app.service\nStarted 5 minutes ago" },
                { tag: "container, hours", name: "redis-server",
                  process: { commandLine: ["redis-server"], container: "3f2a9c01", startedAt: ago(3 * 3600 + 5) },
                  text: "redis-server\nredis-server\nContainer: 3f2a9c01\nStarted 3 hours ago" },
                // Neither a folder name nor an argument can fake a line of its own.
                { tag: "newline in the folder", name: "sh", process: { cwd: "/tmp/a\nUnit: evil" },
                  text: "sh\nFolder: /tmp/a\\x0aUnit: evil" },
                { tag: "line separator in an argument", name: "demo",
                  process: { commandLine: ["demo", "--name=demo\u2028Folder: /root/x"] },
                  text: "demo\ndemo $'--name=demo\\xe2\\x80\\xa8Folder: /root/x'" },
                { tag: "removed folder, cut command line, one minute", name: "node",
                  process: { commandLine: ["node", "x"], commandLineCut: true, cwd: "/srv/old",
                             cwdDeleted: true, startedAt: ago(65) },
                  text: "node\nnode x …\nFolder: /srv/old (deleted)\nStarted 1 minute ago" },
                { tag: "one day", name: "x", process: { startedAt: ago(86400 + 100) },
                  text: "x\nStarted 1 day ago" },
                { tag: "markup in the name", name: "<h1>x</h1>", process: { commandLine: ["<b>y</b>"] },
                  text: "<h1>x</h1>\n'<b>y</b>'" },
            ]
        }

        // The name's tooltip: name, command line, folder, unit or container,
        // age; as plain text, one line each.
        function test_identityToolTip(data) {
            const popover = makePopover([{ pid: 9, processName: data.name, port: 3000, process: data.process }])
            mouseMove(child(rows(popover)[0], "processName"))
            tryVerify(() => popupTexts().length > 0, 3000, "the tooltip shows")
            const items = popupTextItems()
            compare(items.map(i => i.text), [data.text + "\nSeen since Quayline started"])
            // Read as markup, the lines would run together and the tags vanish.
            const lines = items[0].text.split("\n")
            compare(items[0].lineCount, lines.length)
            const width = plainWidth(lines[0], items[0].font)
            verify(items[0].contentWidth >= 0.8 * width, items[0].contentWidth + " vs " + width)
        }

        // A second scan that opened or closed a port: what the row looks
        // like, what a screen reader hears, and whether Kill still works.
        function test_openedAndClosedRows_data() {
            const [a, b, c] = [entry(1, "a", 1000), entry(2, "b", 2000), entry(3, "c", 3000)]
            return [
                { tag: "opened", first: [a, c], second: [a, b, c], mark: "new" },
                { tag: "closed", first: [a, b, c], second: [a, c], mark: "closed" },
            ]
        }

        function test_openedAndClosedRows(data) {
            const popover = makePopover(data.first)
            rows(popover)   // made now, so that the second scan has to change them
            popover.viewModel.newRowDuration = 3600000
            popover.viewModel.closedRowDuration = 3600000
            popover.viewModel.refreshNow()
            Fixture.finishScan(data.second)
            const shown = rows(popover)
            compare(shown.map(row => row.entry.processName), ["a", "b", "c"])
            for (const row of shown) {
                const mark = row.entry.processName === "b" ? data.mark : ""
                const name = "Port " + row.entry.port + ", " + row.entry.processName + ", PID "
                           + row.entry.pid + ", TCP, listening"
                compare(Fixture.accessibleName(row), mark ? name + ", " + mark : name)
                tryCompare(child(row, "newFill"), "opacity", mark === "new" ? 1 : 0)
                compare(row.opacity, mark === "closed" ? Theme.closedOpacity : 1)
                compare(child(row, "stopButton").enabled, mark !== "closed")
            }
            const b = shown[1]
            mouseClick(child(b, "stopButton"))
            compare(Fixture.signalsSent().length, data.mark === "closed" ? 0 : 1)
            mouseMove(child(b, "processName"))
            tryVerify(() => popupTexts().length > 0, 3000, "the tooltip shows")
            compare(popupTexts()[0].split("\n").pop(), data.mark === "new"
                    ? "First seen " + b.firstSeen.toLocaleTimeString(Qt.locale(), Locale.ShortFormat)
                    : "Seen since Quayline started")
        }

        // The list has the keyboard and c is selected when a row above it
        // closes: once that row goes, c keeps both, and Down goes on from it.
        function test_closedRowGoesAboveTheSelection() {
            const popover = makePopover([entry(1, "a", 1000), entry(2, "b", 2000), entry(3, "c", 3000),
                                         entry(4, "d", 4000)])
            const list = child(popover, "portList")
            list.forceActiveFocus(Qt.TabFocusReason)
            for (let i = 0; i < 3; ++i)
                keyClick(Qt.Key_Down)
            popover.viewModel.closedRowDuration = 50
            popover.viewModel.refreshNow()
            Fixture.finishScan([entry(2, "b", 2000), entry(3, "c", 3000), entry(4, "d", 4000)])
            compare(rows(popover).length, 4)
            tryCompare(list, "count", 3)
            const selected = () => rows(popover).filter(row => row.selected).map(row => row.entry.processName)
            compare(selected(), ["c"])
            verify(list.activeFocus)
            keyClick(Qt.Key_Down)
            compare(selected(), ["d"])
        }

        function test_rowMenuActions_data() {
            const folder = Fixture.makePath("my app")
            const node = { pid: 4242, processName: "node", port: 3000,
                           process: { commandLine: ["node", "app.js", "it's"], cwd: folder } }
            const at = address => Object.assign({}, node, { address: address })
            const changed = process => Object.assign({}, node, { process: Object.assign({}, node.process, process) })
            return [
                { tag: "copy port, right click", entry: node, how: "right click", item: "copyPort", copied: ["3000"] },
                { tag: "copy pid, menu key", entry: node, how: "menu key", item: "copyPid", copied: ["4242"] },
                { tag: "copy command line, shift F10", entry: node, how: "shift F10", item: "copyCommandLine",
                  copied: ["node app.js 'it'\\''s'"] },
                // The address forms are DesktopActions' tests; this one shows the row's address is used.
                { tag: "browser", entry: at("127.0.0.1"), how: "right click", item: "openInBrowser",
                  opened: ["http://127.0.0.1:3000"] },
                { tag: "working folder", entry: node, how: "right click", item: "openWorkingFolder",
                  opened: ["file://" + folder.replace(/ /g, "%20")] },
                // Something else where the folder was: nothing is handed to the desktop.
                { tag: "a file where the folder was", entry: changed({ cwd: Fixture.makePath("f", true) }),
                  how: "right click", item: "openWorkingFolder" },
                { tag: "command line read in part", entry: changed({ commandLineCut: true }),
                  how: "right click", item: "copyCommandLine",
                  copied: ["# Incomplete, only its start could be read: node app.js 'it'\\''s'"] },
            ]
        }

        function test_rowMenuActions(data) {
            const popover = makePopover([data.entry])
            const menu = openMenu(popover, data.how)
            mouseClick(menuItem(menu, data.item))
            tryCompare(menu, "visible", false)
            compare(Fixture.copied(), data.copied || [])
            compare(Fixture.opened(), data.opened || [])
        }

        // What the menu offers: the browser only for TCP, the folder only when
        // known; the others are dimmed.
        function test_rowMenuItems_data() {
            return [
                { tag: "TCP, all known", fields: { process: { commandLine: ["x"], cwd: "/" } }, disabled: [] },
                { tag: "UDP", fields: { networkProtocol: "UDP", process: { commandLine: ["x"], cwd: "/" } },
                  disabled: ["Open in Browser"] },
                { tag: "nothing known", fields: {}, disabled: ["Copy Command Line", "Open Working Folder"] },
                { tag: "removed folder", fields: { process: { commandLine: ["x"], cwd: "/", cwdDeleted: true } },
                  disabled: ["Open Working Folder"] },
                { tag: "scoped IPv6 address", fields: { address: "[fe80::1%eth0]", process: { cwd: "/" } },
                  disabled: ["Copy Command Line", "Open in Browser"] },
                { tag: "another user's port, no process known",
                  fields: { pid: 0, processName: "", fromKernel: true, uid: 4242, process: { unit: "db.service" } },
                  disabled: ["Copy PID", "Copy Command Line", "Open Working Folder"], stopCommand: true },
            ]
        }

        function test_rowMenuItems(data) {
            const popover = makePopover([Object.assign({ pid: 1, processName: "x", port: 8080 }, data.fields)])
            const menu = openMenu(popover)
            // A keeper's stop shows only for rows that have one (tst_keeperstop).
            const items = visibleMenuItems(menu)
            compare(items.map(i => i.text),
                    ["Copy Port", "Copy PID", "Copy Command Line", "Open in Browser", "Open Working Folder",
                     "Copy Stop Command"])
            compare(items.filter(i => !i.enabled && i.text !== "Copy Stop Command").map(i => i.text),
                    data.disabled)
            compare(items[5].enabled, !!data.stopCommand)
            menu.close()
        }

        // A port of another user: a stop button that explains instead of
        // signalling, and the command in the menu.
        function test_anotherUsersPort() {
            const theirs = { pid: 0, processName: "", user: "postgres", fromKernel: true, uid: 4242,
                             port: 5432, process: { unit: "postgresql.service" } }
            const popover = makePopover([theirs])
            const row = rows(popover)[0]
            const button = child(row, "stopButton")
            compare(row.stopToolTip, "Quayline stops only your own processes; port 5432 is held by postgres, "
                    + "postgresql.service.\nTo stop it: systemctl stop postgresql.service")
            mouseClick(button)
            compare(Fixture.signalsSent(), [])
            popover.viewModel.stopProcess(row.entry)   // nor does the model, asked directly: it says why
            compare(Fixture.signalsSent(), [])
            compare(popover.viewModel.killError.text, row.stopToolTip)
            popover.viewModel.killError = null
            compare(button.text, "Kill")
            const menu = openMenu(popover)
            mouseClick(menuItem(menu, "copyStopCommand"))
            tryCompare(menu, "visible", false)
            compare(Fixture.copied(), ["systemctl stop postgresql.service"])
        }
    }
}
