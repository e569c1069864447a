import QtQuick
import QtTest
import Quayline

// The link the row menu opens for a listener.
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
}
