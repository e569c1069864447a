import QtQuick
import QtQuick.Controls.impl

// One of the project's monochrome glyphs, named like the symbols the views ask
// for ("arrow.clockwise"), drawn in one colour.
IconImage {
    property string symbol
    property real size: Theme.iconSize

    source: symbol === "" ? "" : "qrc:/Quayline/icons/" + symbol + ".svg"
    sourceSize.width: size
    sourceSize.height: size
    width: size
    height: size
    color: Theme.primary
    fillMode: Image.PreserveAspectFit
}
