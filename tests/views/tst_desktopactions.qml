import QtQuick
import QtTest
import Quayline

// The texts behind the row menu: the link a listener serves and a command
// line that a shell reads back as the same words.
TestCase {
    name: "DesktopActions"

    function test_browserUrl_data() {
        return [
            { tag: "wildcard", address: "*", port: 3000, url: "http://localhost:3000" },
            { tag: "IPv6 any", address: "[::]", port: 8080, url: "http://localhost:8080" },
            { tag: "IPv4 loopback", address: "127.0.0.1", port: 5173, url: "http://127.0.0.1:5173" },
            { tag: "IPv6 loopback", address: "[::1]", port: 3000, url: "http://[::1]:3000" },
            { tag: "IPv6 without brackets", address: "fd00::5", port: 3000, url: "http://[fd00::5]:3000" },
            { tag: "scoped IPv6", address: "[fe80::1%eth0]", port: 3000, url: "" },
            { tag: "port 0", address: "*", port: 0, url: "" },
        ]
    }

    function test_browserUrl(data) {
        compare(DesktopActions.browserUrl(data.address, data.port), data.url)
    }

    function test_commandLineText_data() {
        return [
            { tag: "plain words", args: ["python3", "-m", "http.server", "8000"], text: "python3 -m http.server 8000" },
            { tag: "blank", args: ["echo", "a b"], text: "echo 'a b'" },
            { tag: "single quote", args: ["echo", "it's"], text: "echo 'it'\\''s'" },
            { tag: "empty word", args: ["x", ""], text: "x ''" },
            { tag: "newline", args: ["sh", "-c", "a\nb"], text: "sh -c $'a\\nb'" },
            { tag: "escape sequence", args: ["x", "\u001b[2J"], text: "x $'\\x1b[2J'" },
            { tag: "bidi override", args: ["x", "abc\u202edef"], text: "x $'abc\\u202edef'" },
            { tag: "backslash beside a control", args: ["x", "a\\'\t"], text: "x $'a\\\\\\'\\t'" },
            { tag: "non-ASCII letters", args: ["café"], text: "'café'" },
        ]
    }

    function test_commandLineText(data) {
        compare(DesktopActions.commandLineText(data.args), data.text)
    }

    function test_printable_data() {
        return [
            { tag: "newline and tab", text: "a\nb\tc", shown: "a\\nb\\tc" },
            { tag: "DEL and C1", text: "a\u007fb\u0085", shown: "a\\x7fb\\u0085" },
        ]
    }

    function test_printable(data) {
        compare(DesktopActions.printable(data.text), data.shown)
    }
}
