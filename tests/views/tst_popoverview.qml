import QtQuick
import QtTest
import Quayline
import QuaylineTest

Item {
    width: 380
    height: 460

    ViewTestCase {
        name: "PopoverView"

        // Which one of the five contents shows for each mix of scan error, scan
        // under way, entries and filter: the first rule that holds wins.
        function test_content_data() {
            const two = [entry(10, "nginx", 80), entry(11, "redis-server", 6379)]
            const lsof = "Could not find lsof at /usr/bin/lsof."
            const row = (tag, error, loading, entries, filter, view, message, count) =>
                ({ tag, error, loading, entries, filter, view, message, count })
            return [
                row("nothing listening", null, false, [], "", "emptyView", "Nothing is listening", "0"),
                row("filter, no entries", null, false, [], "ngi", "noMatchView", "No ports match “ngi”", "0"),
                row("filter kept as typed", null, false, two, " NoSuch ", "noMatchView", "No ports match “ NoSuch ”", "0"),
                row("filter with placeholders", null, false, two, "%1 %2", "noMatchView", "No ports match “%1 %2”", "0"),
                row("filter narrows", null, false, two, "redis", "portList", undefined, "1"),
                row("first scan under way", null, true, [], "", "loadingView", undefined, "0"),
                row("first scan under way, filter", null, true, [], "zz", "loadingView", undefined, "0"),
                row("rescan keeps the list", null, true, two, "", "portList", undefined, "2"),
                row("scan error while rescanning, filter", lsof, true, [], "zz", "errorView", lsof, "0"),
                row("scan error beside entries", lsof, false, two, "", "errorView", lsof, "2"),
                row("empty error text", "", false, [], "", "errorView", "", "0"),
            ]
        }

        function test_content(data) {
            const popover = makePopover(data.entries, data.error)
            popover.viewModel.searchText = data.filter
            if (data.loading)
                popover.viewModel.refreshNow()
            const shown = ["errorView", "loadingView", "emptyView", "noMatchView", "portList"]
                .filter(name => child(popover, name).visible)
            compare(shown, [data.view])
            if (data.message !== undefined)
                compare(findChild(child(popover, data.view), "message").text, data.message)
            compare(child(popover, "entryCount").text, data.count)
        }

        function test_typedFilterAndClearButton() {
            const popover = makePopover([entry(1, "nginx", 80), entry(2, "postgres", 5432), entry(3, "redis", 6379)])
            const clear = child(popover, "clearButton")
            verify(!clear.visible)
            child(popover, "filterField").forceActiveFocus()
            for (const c of " 543")
                keyClick(c)
            compare(child(popover, "entryCount").text, "1")
            verify(clear.visible)
            keyClick("x")
            compare(findChild(child(popover, "noMatchView"), "message").text, "No ports match “ 543x”")

            mouseClick(clear)
            compare(child(popover, "filterField").text, "")
            verify(!clear.visible)
            compare(child(popover, "entryCount").text, "3")
        }

        function test_stopFailureAlert() {
            const popover = makePopover([entry(9, "cupsd", 631)])
            const model = popover.viewModel
            const alert = child(popover, "stopFailureAlert")
            Fixture.setKillResult(1)   // EPERM
            mouseClick(child(rows(popover)[0], "stopButton"))
            tryCompare(alert, "opened", true)
            compare(child(alert.contentItem.parent, "alertMessage").text,
                    "The system denied permission to stop this process.")
            // Another failure while it is open is a new message; dismissing clears that one.
            const firstId = model.killError.id
            model.stopProcess(rows(popover)[0].entry)
            verify(model.killError.id !== firstId)
            mouseClick(child(alert.footer, "alertOk"))
            tryCompare(alert, "visible", false)
            verify(model.killError === null || model.killError === undefined, "dismissing clears killError")
        }

        // 10,000 entries: only the rows in view are built.
        function test_tenThousandEntries() {
            const popover = makePopover(Array.from({ length: 10000 }, (_, i) => entry(1000 + i, "proc" + i, 1000 + i)))
            const list = child(popover, "portList")
            list.forceLayout()
            compare(child(popover, "entryCount").text, "10000")
            verify(list.contentItem.children.length < 100, list.contentItem.children.length + " rows")
        }
    }
}
