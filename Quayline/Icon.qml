import QtQuick
import QtQuick.Controls.impl

IconImage {
    property string name
    source: name === "" ? "" : "qrc:/Quayline/icons/" + name + ".svg"
}
