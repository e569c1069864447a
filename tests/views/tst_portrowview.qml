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

        // Names show as the characters themselves, numbers without grouping.
        function test_rowTexts() {
            const name = "<b>x</b>&amp;"
            const row = rows(makePopover([entry(123456, name, 65535)]))[0]
            compare(child(row, "port").text, "65535")
            compare(child(row, "pid").text, "PID 123456")
            const label = child(row, "processName")
            const width = plainWidth(name, label.font)
            // Read as markup it would shrink to "x&", a fraction of this.
            verify(label.contentWidth > 0.8 * width, label.contentWidth + " vs " + width)
        }
    }
}
