pragma Singleton
import QtQuick

// Text styles and colours of the views. Colours derive from the desktop's
// palette, so the views follow a light or dark theme; sizes are logical pixels,
// the unit every length of the layout is given in.
QtObject {
    readonly property SystemPalette palette: SystemPalette {
        colorGroup: SystemPalette.Active
    }
    readonly property bool dark: palette.window.hslLightness < 0.5

    readonly property color background: palette.window
    readonly property color primary: palette.windowText
    readonly property color secondary: Qt.rgba(primary.r, primary.g, primary.b, 0.55)
    readonly property color tertiary: Qt.rgba(primary.r, primary.g, primary.b, 0.30)
    readonly property color separator: Qt.rgba(primary.r, primary.g, primary.b, 0.15)
    readonly property color hoverFill: Qt.rgba(primary.r, primary.g, primary.b, 0.06)
    readonly property color pressedFill: Qt.rgba(primary.r, primary.g, primary.b, 0.12)
    readonly property color groupFill: dark ? Qt.lighter(palette.window, 1.35) : Qt.darker(palette.window, 1.04)
    readonly property color tint: palette.highlight
    // The keyboard's marks: the ring around the focused control and the fill
    // of the selected row.
    readonly property color focusRing: tint
    readonly property color selectionFill: Qt.rgba(tint.r, tint.g, tint.b, 0.22)
    // A row that appeared a moment ago; a row that went is drawn at closedOpacity.
    readonly property color newFill: Qt.rgba(green.r, green.g, green.b, 0.16)
    readonly property real closedOpacity: 0.45

    // Hues picked per palette so that text in them stays readable on either background.
    readonly property color blue: dark ? "#5aa2ff" : "#1463d8"
    readonly property color purple: dark ? "#c394f7" : "#8a3fcf"
    readonly property color green: dark ? "#4cc96b" : "#1e8a3a"
    readonly property color red: dark ? "#ff6961" : "#d1242f"
    readonly property color orange: dark ? "#ffab40" : "#d86a00"

    readonly property string monospaceFamily: "monospace"
    readonly property int bodySize: 13
    readonly property int calloutSize: 12
    readonly property int captionSize: 10
    readonly property int caption2Size: 9
    readonly property int iconSize: 16

    readonly property font body: Qt.font({ pixelSize: bodySize })
    readonly property font headline: Qt.font({ pixelSize: bodySize, bold: true })
    readonly property font callout: Qt.font({ pixelSize: calloutSize })
    readonly property font caption: Qt.font({ pixelSize: captionSize })
    readonly property font caption2: Qt.font({ pixelSize: caption2Size })
}
