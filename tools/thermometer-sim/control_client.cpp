#include "tools/thermometer-sim/control_client.h"

#include <sys/socket.h>

#include <cstdio>

#include "tools/thermometer-sim/control_server.h"
#include "tools/thermometer-sim/report_format.h"

namespace thermo::sim {

ControlReply sendControlCommand(const std::filesystem::path& socket, std::string_view line,
                                int patienceMs) {
    Fd fd = connectControl(socket, patienceMs);
    std::string request = std::string(line) + "\n";
    std::string_view rest = request;
    while (!rest.empty()) {
        ssize_t sent = ::send(fd.get(), rest.data(), rest.size(), MSG_NOSIGNAL);
        if (sent < 0 && errno == EINTR) continue;
        if (sent <= 0) throwSysError("send", socket.native());
        rest.remove_prefix(static_cast<std::size_t>(sent));
    }
    ::shutdown(fd.get(), SHUT_WR);
    std::string answer;
    char chunk[4096];
    while (true) {
        ssize_t got = ::recv(fd.get(), chunk, sizeof chunk, 0);
        if (got < 0 && errno == EINTR) continue;
        if (got < 0) throwSysError("recv", socket.native());
        if (got == 0) break;
        answer.append(chunk, static_cast<std::size_t>(got));
    }
    return decodeReply(answer);
}

int runControlClient(const std::vector<std::string>& args) {
    std::size_t i = 0;
    int patienceMs = 0;
    if (i < args.size() && args[i] == "-w") {
        auto ms = i + 1 < args.size() ? parseInteger(args[i + 1], 0, 3'600'000) : std::nullopt;
        if (!ms) {
            std::fprintf(stderr, "usb-thermometer-sim ctl: -w needs milliseconds\n");
            return 1;
        }
        patienceMs = static_cast<int>(*ms);
        i += 2;
    }
    if (args.size() < i + 2) {
        std::fprintf(stderr, "usage: usb-thermometer-sim ctl [-w MS] SOCKET COMMAND [ARGS...]\n");
        return 1;
    }
    std::string line;
    for (std::size_t w = i + 1; w < args.size(); ++w) line += (line.empty() ? "" : " ") + args[w];
    try {
        ControlReply reply = sendControlCommand(args[i], line, patienceMs);
        switch (reply.kind) {
            case ControlReply::Kind::Ok:
                std::fputs(reply.text.c_str(), stdout);
                return 0;
            case ControlReply::Kind::Error:
                std::fprintf(stderr, "usb-thermometer-sim ctl: %s\n", reply.text.c_str());
                return 1;
            case ControlReply::Kind::TimedOut:
                std::fprintf(stderr, "usb-thermometer-sim ctl: timed out %s\n", reply.text.c_str());
                return 2;
        }
    } catch (const std::exception& error) {
        std::fprintf(stderr, "usb-thermometer-sim ctl: %s\n", error.what());
    }
    return 1;
}

}  // namespace thermo::sim
