import QtQuick
import Quayline

Item {
    required property PortListViewModel viewModel
    required property LoginItem loginItem
    width: 380
    height: 300
    function shown() {
    }
}
