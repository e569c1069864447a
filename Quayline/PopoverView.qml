import QtQuick
import Quayline

Item {
    id: root
    required property PortListViewModel viewModel
    signal settingsRequested()
    width: 380
    height: 460
    function shown() {
        root.viewModel.refreshAndRestartTimer()
    }
}
