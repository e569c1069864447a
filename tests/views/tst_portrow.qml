import QtQuick
import QtQuick.Controls
import QtTest
import Quayline
import QuaylineTest

// The test case itself is never shown; the views go into this item.
Item {
    id: scene
    width: 380
    height: 120

    TestCase {
        id: testCase
        name: "PortRow"
        when: windowShown

        Component {
            id: rowComponent
            PortRowView {
                width: 380
            }
        }

        TextMetrics {
            id: metrics
        }

        function init() {
            Fixture.reset()
        }

        function makeRow(fields, model) {
            const row = createTemporaryObject(rowComponent, scene, {
                viewModel: model === undefined ? Fixture.newModel() : model,
                entry: Fixture.entry(fields)
            })
            verify(row !== null)
            return row
        }

        function child(item, name) {
            const found = findChild(item, name)
            verify(found !== null, "no child " + name)
            return found
        }

        function sameColor(a, b) {
            return String(a) === String(b)
        }

        function test_texts_data() {
            return [
                { tag: "five-digit port, no grouping", fields: { port: 65535, pid: 123456 },
                  port: "65535", pid: "PID 123456" },
                { tag: "markup in a name stays text", fields: { processName: "<b>x</b>&amp;" },
                  name: "<b>x</b>&amp;" },
            ]
        }

        function test_texts(data) {
            const row = makeRow(data.fields)
            if (data.port !== undefined)
                compare(child(row, "port").text, data.port)
            if (data.pid !== undefined)
                compare(child(row, "pid").text, data.pid)
            if (data.name !== undefined) {
                const label = child(row, "processName")
                compare(label.text, data.name)
                // Drawn as the characters themselves, not as markup.
                metrics.font = label.font
                metrics.text = data.name
                // Read as markup it would shrink to "x&", a fraction of this.
                verify(label.contentWidth > 0.8 * metrics.advanceWidth,
                       label.contentWidth + " vs " + metrics.advanceWidth)
            }
        }

        function test_badges_data() {
            return [
                { tag: "TCP", protocol: "TCP", state: "LISTEN", blue: true },
                { tag: "UDP without state", protocol: "UDP", state: "", blue: false },
                { tag: "lower-case tcp", protocol: "tcp", state: "LISTEN", blue: false },
                { tag: "TCP with blank", protocol: "TCP ", state: "IDLE", blue: false },
            ]
        }

        function test_badges(data) {
            const row = makeRow({ networkProtocol: data.protocol, state: data.state })
            const badge = child(row, "protocolBadge")
            compare(badge.text, data.protocol)
            verify(sameColor(badge.color, data.blue ? Theme.blue : Theme.purple), String(badge.color))
            const state = child(row, "stateBadge")
            compare(state.visible, data.state !== "")
            if (data.state !== "") {
                compare(state.text, data.state)
                verify(sameColor(state.color, Theme.green))
            } else {
                // No room is kept for the missing badge: PID and IP version sit 8 apart.
                const pid = child(row, "pid")
                const ip = child(row, "ipVersion")
                compare(ip.x - (pid.x + pid.width), 8)
            }
        }

        function test_processNameWidth_data() {
            return [
                { tag: "short name whole", name: "nginx", cut: false },
                { tag: "name that fills the row", name: "a-very-long-process-name-that-cannot-possibly-fit-into-the-row", cut: true },
            ]
        }

        function test_processNameWidth(data) {
            const row = makeRow({ processName: data.name, ipVersion: "IPv4/IPv6" })
            const label = child(row, "processName")
            compare(label.truncated, data.cut)
            compare(label.text, data.name)
            const stop = child(row, "stopButton")
            verify(stop.mapToItem(row, stop.width, 0).x <= row.width - 12,
                   "the stop button keeps its place at the trailing edge")
        }

        function test_stopButtonStages() {
            const model = Fixture.newModel()
            model.refreshNow()
            Fixture.finishScan([{ pid: 77, port: 80 }])
            const row = makeRow({ pid: 77, port: 80 }, model)
            const stop = child(row, "stopButton")
            compare(stop.text, "Kill")
            compare(row.stopToolTip, "Send SIGTERM to PID 77")
            verify(sameColor(stop.contentItem.color, Theme.secondary))

            mouseClick(stop)
            compare(Fixture.signalsSent, [{ pid: 77, signal: 15 }], "one press, one stop of its own entry")
            compare(stop.text, "Force")
            compare(row.stopToolTip, "Process didn’t exit — send SIGKILL to PID 77")
            verify(sameColor(stop.contentItem.color, Theme.red))
            compare(stop.width, 38)

            // Gone from the next scan: the pid leaves the set and the row starts over.
            tryCompare(Fixture, "pendingScans", 1)
            Fixture.finishScan([])
            compare(stop.text, "Kill")
        }

        function test_hoverCoversTheWholeRow_data() {
            return [
                { tag: "left inset", x: 3, y: 20 },
                { tag: "top inset", x: 150, y: 2 },
                { tag: "bottom-right corner", x: -2, y: -2 },
                { tag: "gap before the button", x: 300, y: 20 },
                { tag: "on the port", x: 20, y: 20 },
            ]
        }

        function test_hoverCoversTheWholeRow(data) {
            const row = makeRow({ processName: "x" })
            const fill = child(row, "hoverFill")
            mouseMove(scene, row.width + 50, row.height + 50)
            verify(!row.isHovering)
            compare(fill.color.a, 0)
            const x = data.x < 0 ? row.width + data.x : data.x
            const y = data.y < 0 ? row.height + data.y : data.y
            mouseMove(row, x, y)
            tryVerify(() => row.isHovering)
            verify(Math.abs(fill.color.a - 0.06) < 0.01, String(fill.color.a))
            compare(fill.width, row.width)
            compare(fill.height, row.height)
            mouseMove(scene, row.width + 50, row.height + 50)
            tryVerify(() => !row.isHovering)
            compare(fill.color.a, 0)
        }
    }
}
