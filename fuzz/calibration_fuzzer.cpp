// cal.txt holds whatever a hand edit, another program or a crash left there. The reader must
// take any bytes without fault, read every number the reading rules allow as a C-locale strtod
// reads it, and what it accepts must survive a write and a read bit for bit.
#include <locale.h>

#include <array>
#include <bit>
#include <cerrno>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <optional>
#include <string>
#include <string_view>

#include "fuzz/fuzz_check.h"
#include "measure/calibration_file.h"

namespace {

using thermo::CalibrationPoints;
using thermo::MaybeNumber;
using thermo::fuzz::require;

// The reading rules, spelt out independently: a field ends at a comma or a line end (CR LF, CR
// or LF); the first two fields count; a comma promises a field even at the very end of the text.
std::optional<std::array<std::string_view, 2>> firstTwoFields(std::string_view text) {
    std::array<std::string_view, 2> fields;
    std::size_t count = 0;
    bool open = !text.empty();
    while (count < 2 && open) {
        const std::size_t end = text.find_first_of(",\r\n");
        fields[count++] = text.substr(0, end);
        if (end == std::string_view::npos) {
            break;
        }
        const char separator = text[end];
        std::size_t skip = 1;
        if (separator == '\r' && end + 1 < text.size() && text[end + 1] == '\n') {
            skip = 2;
        }
        text.remove_prefix(end + skip);
        open = !text.empty() || separator == ',';
    }
    if (count < 2) {
        return std::nullopt;
    }
    return fields;
}

bool isDigit(char c) { return c >= '0' && c <= '9'; }

std::size_t skipDigits(std::string_view text, std::size_t at) {
    while (at < text.size() && isDigit(text[at])) {
        ++at;
    }
    return at;
}

// What the reader must accept at least: an optional minus sign, digits with or without a
// fractional part or a fractional part alone (.72), and an optional exponent (1.5E-05).
bool isPlainDecimal(std::string_view field) {
    std::size_t at = 0;
    if (at < field.size() && field[at] == '-') {
        ++at;
    }
    const std::size_t integerEnd = skipDigits(field, at);
    bool digits = integerEnd > at;
    at = integerEnd;
    if (at < field.size() && field[at] == '.') {
        const std::size_t fractionEnd = skipDigits(field, at + 1);
        digits = digits || fractionEnd > at + 1;
        at = fractionEnd;
    }
    if (!digits) {
        return false;
    }
    if (at < field.size() && (field[at] == 'e' || field[at] == 'E')) {
        ++at;
        if (at < field.size() && (field[at] == '+' || field[at] == '-')) {
            ++at;
        }
        const std::size_t exponentEnd = skipDigits(field, at);
        if (exponentEnd == at) {
            return false;
        }
        at = exponentEnd;
    }
    return at == field.size();
}

// The C locale's reading, whatever locale the process runs in.
struct CReading {
    double value = 0;
    bool outOfRange = false;
};

CReading readInCLocale(std::string_view field) {
    static const locale_t cLocale = newlocale(LC_ALL_MASK, "C", locale_t{});
    const std::string copy(field);  // strtod needs a terminated string
    errno = 0;
    const double value = strtod_l(copy.c_str(), nullptr, cLocale);
    return {value, errno == ERANGE};
}

bool sameBits(double a, double b) {
    return std::bit_cast<std::uint64_t>(a) == std::bit_cast<std::uint64_t>(b);
}

// Equal to the last bit; any NaN matches any NaN (a field that is not a number reads as NaN).
bool samePoint(const MaybeNumber& a, const MaybeNumber& b) {
    if (a.has_value() != b.has_value()) {
        return false;
    }
    if (!a) {
        return true;
    }
    if (std::isnan(*a) || std::isnan(*b)) {
        return std::isnan(*a) && std::isnan(*b);
    }
    return sameBits(*a, *b);
}

void checkField(std::string_view field, const MaybeNumber& point) {
    if (field.empty()) {
        require(!point.has_value(), "an empty field gives no value");
        return;
    }
    if (field.find_first_not_of(" \t") == std::string_view::npos) {
        return;  // blanks alone: no value or a value, the reader's choice
    }
    require(point.has_value(), "a field with something in it gives a value");
    if (!isPlainDecimal(field)) {
        return;  // how other text reads is the reader's own choice
    }
    const CReading expected = readInCLocale(field);
    if (expected.outOfRange) {
        // Beyond a double's range: a refusal (NaN) or the nearest double, nothing else.
        require(std::isnan(*point) || sameBits(*point, expected.value),
                "an out-of-range number reads as NaN or as strtod reads it");
        return;
    }
    require(sameBits(*point, expected.value), "a plain decimal number reads as strtod reads it");
}

void checkWrittenLine(const std::string& line) {
    require(line.size() >= 3 && line.ends_with("\r\n"), "the line ends in CR LF");
    const std::string_view body = std::string_view(line).substr(0, line.size() - 2);
    int commas = 0;
    for (const char c : body) {
        require(c != '\r' && c != '\n', "one line only");
        require(c != ' ' && c != '"', "no spaces or quotes");
        commas += c == ',' ? 1 : 0;
    }
    require(commas == 1, "exactly one comma");
}

void checkRoundTrip(const CalibrationPoints& points) {
    const std::string line = thermo::formatCalibrationLine(points);
    checkWrittenLine(line);
    const std::optional<CalibrationPoints> again = thermo::parseCalibration(line);
    require(again.has_value(), "a written line reads back");
    require(samePoint(again->zero, points.zero), "the zero point survives a write and a read");
    require(samePoint(again->hundred, points.hundred),
            "the hundred point survives a write and a read");
    require(thermo::formatCalibrationLine(*again) == line, "a reread line is written the same");
}

// The reader promises "." whatever the user's locale; run in one that writes "," if there is one.
bool preferCommaLocale() {
    return setlocale(LC_ALL, "de_DE.UTF-8") != nullptr ||
           setlocale(LC_ALL, "de_DE.utf8") != nullptr;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    [[maybe_unused]] static const bool commaLocale = preferCommaLocale();
    const std::string_view text(reinterpret_cast<const char*>(data), size);

    const std::optional<CalibrationPoints> points = thermo::parseCalibration(text);
    const auto fields = firstTwoFields(text);
    require(points.has_value() == fields.has_value(), "two values exactly when two fields");
    if (!points) {
        return 0;
    }
    checkField((*fields)[0], points->zero);
    checkField((*fields)[1], points->hundred);
    checkRoundTrip(*points);
    return 0;
}
