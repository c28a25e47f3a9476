#include "tools/thermometer-sim/control_client.h"

#include <sys/socket.h>

#include <CLI/CLI.hpp>
#include <cstdio>

#include "tools/thermometer-sim/control_server.h"

namespace thermo::sim {

ControlReply sendControlCommand(const std::filesystem::path& socket, std::string_view line,
                                int patienceMs) {
    os::UniqueFd fd = connectControl(socket, patienceMs);
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
    CLI::App app("Sends one command line to a running simulator and prints its answer.",
                 "usb-thermometer-sim ctl");
    int patienceMs = 0;
    std::string socket;
    std::vector<std::string> words;
    app.add_option("-w", patienceMs, "wait up to MS ms for the socket to appear")
        ->type_name("MS")
        ->check(CLI::Range(0, 3'600'000));
    app.add_option("SOCKET", socket, "the simulator's control socket")->required();
    app.add_option("COMMAND", words, "the command and its arguments")->required();
    // A command's arguments may look like options ("celsius -5").
    app.positionals_at_end();
    try {
        std::vector<std::string> reversed(args.rbegin(), args.rend());
        app.parse(reversed);
    } catch (const CLI::CallForHelp&) {
        std::fputs(app.help().c_str(), stdout);
        return 0;
    } catch (const CLI::ParseError& error) {
        std::fprintf(stderr, "usb-thermometer-sim ctl: %s\n", error.what());
        return 1;
    }
    std::string line;
    for (const std::string& word : words) line += (line.empty() ? "" : " ") + word;
    try {
        ControlReply reply = sendControlCommand(socket, line, patienceMs);
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
