#include "tools/thermometer-sim/control_protocol.h"

#include <chrono>
#include <stdexcept>
#include <vector>

#include "tools/thermometer-sim/status.h"

namespace thermo::sim {
namespace {

using Words = std::vector<std::string_view>;

Words split(std::string_view line) {
    Words words;
    std::size_t at = 0;
    while (at < line.size()) {
        std::size_t start = line.find_first_not_of(" \t\r\n", at);
        if (start == std::string_view::npos) break;
        std::size_t end = line.find_first_of(" \t\r\n", start);
        if (end == std::string_view::npos) end = line.size();
        words.push_back(line.substr(start, end - start));
        at = end;
    }
    return words;
}

// "a,b" as two words, so that "raw 164,110" and "raw 164 110" mean the same.
Words splitPair(const Words& args) {
    if (args.size() != 1) return args;
    auto comma = args[0].find(',');
    if (comma == std::string_view::npos) return args;
    return {args[0].substr(0, comma), args[0].substr(comma + 1)};
}

[[noreturn]] void usage(std::string_view what) {
    throw std::invalid_argument("usage: " + std::string(what));
}

double needNumber(std::string_view text, std::string_view what) {
    auto value = parseNumber(text);
    if (!value)
        throw std::invalid_argument("not a number: " + std::string(text) + " (" +
                                    std::string(what) + ")");
    return *value;
}

long needInteger(std::string_view text, long min, long max, std::string_view what) {
    auto value = parseInteger(text, min, max);
    if (!value)
        throw std::invalid_argument(std::string(what) + " must be a whole number from " +
                                    std::to_string(min) + " to " + std::to_string(max) + ": " +
                                    std::string(text));
    return *value;
}

std::uint8_t needByte(std::string_view text) {
    auto value = parseByte(text);
    if (!value)
        throw std::invalid_argument("not a byte (0..255 or 0x00..0xff): " + std::string(text));
    return *value;
}

bool needSwitch(std::string_view text) {
    if (text == "on" || text == "1") return true;
    if (text == "off" || text == "0") return false;
    throw std::invalid_argument("expected on or off: " + std::string(text));
}

std::string formatStatus(const DeviceStatus& status) {
    std::string text;
    for (const auto& [key, value] : statusFields(status)) text += key + "=" + value + "\n";
    return text;
}

ControlReply waitFor(Simulator& sim, int device, const Words& args) {
    if (args.empty()) usage("wait CONDITION... [TIMEOUT_MS]");
    std::vector<Condition> conditions;
    long timeoutMs = kDefaultWaitMs;
    for (std::size_t i = 0; i < args.size(); ++i) {
        if (i + 1 == args.size() && parseInteger(args[i], 0, 3'600'000)) {
            timeoutMs = *parseInteger(args[i], 0, 3'600'000);
            continue;
        }
        auto condition = parseCondition(args[i]);
        if (!condition)
            throw std::invalid_argument("not a condition on a status field: " +
                                        std::string(args[i]));
        conditions.push_back(*condition);
    }
    if (conditions.empty()) usage("wait CONDITION... [TIMEOUT_MS]");
    auto allHold = [&](const DeviceStatus& status) {
        auto fields = statusFields(status);
        for (const auto& c : conditions)
            if (!holds(c, fields)) return false;
        return true;
    };
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    if (sim.waitUntil(device, allHold, deadline)) return {ControlReply::Kind::Ok, ""};
    std::string now;
    auto fields = statusFields(sim.status(device));
    for (const auto& c : conditions)
        for (const auto& [key, value] : fields)
            if (key == c.key) now += (now.empty() ? "" : " ") + key + "=" + value;
    return {ControlReply::Kind::TimedOut, "after " + std::to_string(timeoutMs) + " ms: " + now};
}

ControlReply run(Simulator& sim, int device, std::string_view command, const Words& args) {
    auto status = [&] { return sim.status(device); };
    if (command == "status") {
        if (!args.empty()) usage("status");
        return {ControlReply::Kind::Ok, formatStatus(status())};
    }
    if (command == "wait") return waitFor(sim, device, args);
    if (command == "help") return {ControlReply::Kind::Ok, std::string(controlHelp())};
    if (command == "celsius") {
        if (args.size() != 1) usage("celsius C");
        sim.setCelsius(device, needNumber(args[0], "\302\260C"));
    } else if (command == "cal") {
        Words pair = splitPair(args);
        if (pair.size() != 2) usage("cal ZERO,HUNDRED");
        sim.setCalibration(device, {needNumber(pair[0], "0 \302\260C ratio"),
                                    needNumber(pair[1], "100 \302\260C ratio")});
    } else if (command == "raw") {
        Words pair = splitPair(args);
        if (pair.size() != 2) usage("raw B1 B2");
        sim.setValue(device, {needByte(pair[0]), needByte(pair[1])});
    } else if (command == "rate") {
        if (args.size() != 1) usage("rate HZ");
        double hertz = needNumber(args[0], "reports a second");
        if (hertz < 0 || hertz > 10000)
            throw std::invalid_argument("the rate must be 0 to 10000 Hz");
        sim.setRate(device, hertz);
    } else if (command == "report-ids") {
        if (args.size() != 1) usage("report-ids on|off");
        ReportShape shape = status().settings.shape;
        shape.reportIds = needSwitch(args[0]);
        sim.setReportShape(device, shape);
    } else if (command == "length") {
        if (args.size() != 1) usage("length N");
        ReportShape shape = status().settings.shape;
        shape.dataLength =
            static_cast<int>(needInteger(args[0], 1, kMaxReportDataLength, "the length"));
        sim.setReportShape(device, shape);
    } else if (command == "send") {
        if (args.size() > 1) usage("send [COUNT]");
        long count = args.empty() ? 1 : needInteger(args[0], 1, 100000, "the count");
        sim.send(device, static_cast<int>(count));
    } else if (command == "inject") {
        if (args.empty()) usage("inject BYTE...");
        std::vector<std::uint8_t> bytes;
        for (auto word : args) bytes.push_back(needByte(word));
        sim.inject(device, std::move(bytes));
    } else if (command == "unplug") {
        if (!args.empty()) usage("unplug");
        sim.unplug(device);
    } else if (command == "plug") {
        if (!args.empty()) usage("plug");
        sim.plug(device);
    } else if (command == "replug") {
        if (!args.empty()) usage("replug");
        sim.replug(device);
    } else if (command == "replug-renumbered") {
        if (args.size() > 1) usage("replug-renumbered [MS]");
        const long ms = args.empty() ? 10000 : needInteger(args[0], 0, 3600000, "the time-out");
        sim.replugRenumbered(device,
                             std::chrono::steady_clock::now() + std::chrono::milliseconds(ms));
    } else if (command == "decoys") {
        if (args.size() != 1) usage("decoys N");
        sim.setDecoys(
            static_cast<int>(needInteger(args[0], 0, kMaxDevices, "the number of decoys")));
    } else {
        throw std::invalid_argument("unknown command: " + std::string(command) + " (try help)");
    }
    return {ControlReply::Kind::Ok, ""};
}

}  // namespace

ControlReply executeCommand(Simulator& simulator, std::string_view line) {
    try {
        Words words = split(line);
        int device = 0;
        if (!words.empty() && words[0].starts_with('@')) {
            device = static_cast<int>(
                needInteger(words[0].substr(1), 0, kMaxDevices, "the thermometer number"));
            words.erase(words.begin());
        }
        if (words.empty()) throw std::invalid_argument("no command (try help)");
        return run(simulator, device, words[0], Words(words.begin() + 1, words.end()));
    } catch (const std::exception& error) {
        return {ControlReply::Kind::Error, error.what()};
    }
}

std::string encodeReply(const ControlReply& reply) {
    switch (reply.kind) {
        case ControlReply::Kind::Ok:
            return "ok\n" + reply.text;
        case ControlReply::Kind::Error:
            return "error: " + reply.text + "\n";
        case ControlReply::Kind::TimedOut:
            return "timeout: " + reply.text + "\n";
    }
    return "error: unknown reply\n";
}

ControlReply decodeReply(std::string_view wire) {
    std::size_t end = wire.find('\n');
    std::string_view first = wire.substr(0, end);
    std::string_view rest =
        end == std::string_view::npos ? std::string_view{} : wire.substr(end + 1);
    auto message = [](std::string_view text) {
        while (!text.empty() && text.back() == '\n') text.remove_suffix(1);
        return std::string(text);
    };
    if (first == "ok") return {ControlReply::Kind::Ok, std::string(rest)};
    if (first.starts_with("error: ")) return {ControlReply::Kind::Error, message(wire.substr(7))};
    if (first.starts_with("timeout: "))
        return {ControlReply::Kind::TimedOut, message(wire.substr(9))};
    return {ControlReply::Kind::Error, "unexpected answer: " + message(wire)};
}

std::string_view controlHelp() {
    return "commands (prefix @K to address thermometer K, counted from 0):\n"
           "  celsius C            report the value that reads C with the calibration below\n"
           "  cal ZERO,HUNDRED     calibration used by celsius (default 0.72,0.35)\n"
           "  raw B1 B2            report these two value bytes (0..255 or 0x00..0xff)\n"
           "  rate HZ              reports a second; 0: present but silent\n"
           "  report-ids on|off    number reports (id 1 first) or not\n"
           "  length N             data bytes per report (default 64)\n"
           "  send [COUNT]         send reports now, besides the paced ones\n"
           "  inject BYTE...       send one report of exactly these bytes\n"
           "  unplug | plug | replug\n"
           "  replug-renumbered [MS]  replug into the same port after a new decoy took the\n"
           "                       node's number (waits up to MS, default 10000, for it to close)\n"
           "  decoys N             other HID interfaces present\n"
           "  status               key=value lines\n"
           "  wait COND... [MS]    until every COND (e.g. open>=2, plugged=0) holds; default 10000 "
           "ms\n";
}

}  // namespace thermo::sim
