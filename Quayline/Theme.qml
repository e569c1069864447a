pragma Singleton
import QtQuick

QtObject {
    readonly property SystemPalette palette: SystemPalette { colorGroup: SystemPalette.Active }
    readonly property color primary: palette.windowText
}
