// Reads one HTTP/1.0 reply in line mode, as an application using the socket's
// line level would, and prints how many body lines and bytes arrived:
//   LineRate PORT PATH      (the server on 127.0.0.1)
// bench/run.sh times it against nginx serving a file of 80-byte lines.
#include <cstdio>
#include <cstdlib>
#include <string>

#include "net/WSocket.h"
#include "platform/MessageLoop.h"

int main(int argc, char** argv) {
    if (argc != 3) {
        std::fprintf(stderr, "usage: LineRate PORT PATH\n");
        return 2;
    }
    net::TWSocket s;
    bool inBody = false;
    bool done = false;
    long long lines = 0;
    long long bytes = 0;
    std::uint16_t error = 0;
    s.SetLineMode(true);
    s.SetAddr("127.0.0.1");
    s.SetPort(argv[1]);
    s.OnSessionConnected = [&](base::TObject*, std::uint16_t e) {
        if (e) {
            error = e;
            done = true;
            return;
        }
        s.SendText(std::string("GET ") + argv[2] + " HTTP/1.0\r\nHost: 127.0.0.1\r\n\r\n");
    };
    s.OnDataAvailable = [&](base::TObject*, std::uint16_t) {
        char buf[512];
        int n = s.Receive(buf, sizeof buf);
        if (n <= 0) return;
        if (!inBody) {
            // The headers end at the first empty line.
            inBody = (n == 2 && buf[0] == '\r' && buf[1] == '\n');
            return;
        }
        ++lines;
        bytes += n;
    };
    s.OnSessionClosed = [&](base::TObject*, std::uint16_t e) {
        if (e) error = e;
        done = true;
    };
    s.Connect();
    while (!done)
        if (!platform::ProcessMessages()) platform::WaitMessage(1000);
    if (error) {
        std::fprintf(stderr, "LineRate: socket error %u\n", error);
        return 1;
    }
    std::printf("%lld lines %lld bytes\n", lines, bytes);
    return 0;
}
