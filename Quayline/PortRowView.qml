import QtQuick
import Quayline

Item {
    required property PortListViewModel viewModel
    required property portEntry entry
}
