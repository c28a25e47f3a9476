#include "measure/calibration_file.h"

#include <array>
#include <charconv>
#include <limits>
#include <system_error>
#include <utility>

#include "measure/atomic_file.h"

namespace thermo {

namespace {

namespace fs = std::filesystem;

// std::to_chars ignores the locale, so the separator is "." even where the user writes ",".
// The shortest form that reads back to the same double: "0.72", "1.5e-05", "-0", "nan".
void appendNumber(std::string& line, const MaybeNumber& value) {
    if (!value) {
        return;  // a point without a value is an empty field
    }
    std::array<char, 32> buffer{};  // the longest double is 24 characters
    const auto result = std::to_chars(buffer.data(), buffer.data() + buffer.size(), *value);
    line.append(buffer.data(), result.ptr);
}

std::string_view trimBlanks(std::string_view field) {
    constexpr std::string_view kBlanks = " \t";
    const auto first = field.find_first_not_of(kBlanks);
    if (first == std::string_view::npos) {
        return {};
    }
    const auto last = field.find_last_not_of(kBlanks);
    return field.substr(first, last - first + 1);
}

// A hand-edited field that is not a number still counts as present; it reads as NaN so that
// the conversion, not the loader, refuses it.
MaybeNumber parseField(std::string_view field) {
    constexpr double kNotANumber = std::numeric_limits<double>::quiet_NaN();
    field = trimBlanks(field);
    if (field.empty()) {
        return std::nullopt;
    }
    // from_chars takes a minus sign but no plus sign.
    if (field.front() == '+') {
        field.remove_prefix(1);
        if (!field.empty() && field.front() == '-') {
            return kNotANumber;
        }
    }
    double value = 0;
    const char* const end = field.data() + field.size();
    const auto [stop, error] = std::from_chars(field.data(), end, value);
    if (error != std::errc() || stop != end) {
        return kNotANumber;
    }
    return value;
}

// The file with its whole path (the folder matters when the program runs from a shared or
// read-only place), in UTF-8 whatever the platform's path encoding.
std::string displayName(const fs::path& path) {
    std::error_code noWorkingDirectory;
    const fs::path whole = fs::absolute(path, noWorkingDirectory);
    const std::u8string name = (noWorkingDirectory ? path : whole).u8string();
    return std::string(name.begin(), name.end());
}

CalibrationError errorFor(const fs::path& path, const std::system_error& error) {
    return CalibrationError(displayName(path) + ": " + error.code().message());
}

// cal.txt holds one short line, and only its first two fields are read. Reading stops after this
// much, so that a huge file, or a device or pipe in its place, cannot take the start's memory or
// time.
constexpr std::size_t kReadLimit = std::size_t{1} << 20;

// Whether the text holds the end of its second field, so that nothing after it can change the two
// values. A CR at the very end leaves open whether an LF follows and joins it.
bool holdsTwoCompleteFields(std::string_view text) {
    int ends = 0;
    for (std::size_t i = 0; i < text.size(); ++i) {
        const char c = text[i];
        if (c != ',' && c != '\r' && c != '\n') {
            continue;
        }
        if (c == '\r' && ends == 0) {
            if (i + 1 == text.size()) {
                return false;
            }
            i += text[i + 1] == '\n' ? 1 : 0;
        }
        if (++ends == 2) {
            return true;
        }
    }
    return false;
}

std::string readExisting(const fs::path& path) {
    auto content = readFileIfPresent(path, kReadLimit + 1);
    if (!content) {
        throw std::system_error(std::make_error_code(std::errc::no_such_file_or_directory));
    }
    return std::move(*content);
}

// The two points of a file's content as read (at most kReadLimit + 1 bytes of it).
CalibrationPoints pointsIn(const fs::path& path, std::string content) {
    if (content.size() > kReadLimit) {
        content.resize(kReadLimit);
        if (!holdsTwoCompleteFields(content)) {
            throw CalibrationError(displayName(path) +
                                   ": does not hold two calibration values in its first MiB");
        }
    }
    auto points = parseCalibration(content);
    if (!points) {
        throw CalibrationError(displayName(path) + ": does not hold two calibration values");
    }
    return *points;
}

}  // namespace

std::string formatCalibrationLine(const CalibrationPoints& points) {
    std::string line;
    appendNumber(line, points.zero);
    line += ',';
    appendNumber(line, points.hundred);
    line += "\r\n";
    return line;
}

std::optional<CalibrationPoints> parseCalibration(std::string_view text) {
    std::array<MaybeNumber, 2> values;
    std::size_t count = 0;
    bool afterComma = false;  // a comma promises a field, even an empty one at the very end
    while (count < values.size() && (!text.empty() || afterComma)) {
        const auto end = text.find_first_of(",\r\n");
        values[count++] = parseField(text.substr(0, end));
        if (end == std::string_view::npos) {
            break;
        }
        afterComma = text[end] == ',';
        const bool crlf = text.substr(end, 2) == "\r\n";  // one line end, not two
        text.remove_prefix(end + (crlf ? 2 : 1));
    }
    if (count < values.size()) {
        return std::nullopt;
    }
    return CalibrationPoints{.zero = values[0], .hundred = values[1]};
}

CalibrationFile::CalibrationFile(std::filesystem::path path) : path_(std::move(path)) {}

CalibrationPoints CalibrationFile::load() const {
    std::string content;
    try {
        if (auto existing = readFileIfPresent(path_, kReadLimit + 1)) {
            content = std::move(*existing);
        } else {
            // Only a missing file gets the default points. One that exists but cannot be read
            // may hold the user's calibration and is left alone.
            replaceFileAtomically(path_, formatCalibrationLine(CalibrationPoints{
                                             .zero = kDefaultCalZero,
                                             .hundred = kDefaultCalHundred,
                                         }));
            content = readExisting(path_);
        }
    } catch (const std::system_error& error) {
        throw errorFor(path_, error);
    }
    return pointsIn(path_, std::move(content));
}

std::optional<CalibrationPoints> CalibrationFile::loadIfPresent() const {
    std::optional<std::string> content;
    try {
        content = readFileIfPresent(path_, kReadLimit + 1);
    } catch (const std::system_error& error) {
        throw errorFor(path_, error);
    }
    if (!content) {
        return std::nullopt;
    }
    return pointsIn(path_, std::move(*content));
}

void CalibrationFile::write(const CalibrationPoints& points) const {
    try {
        replaceFileAtomically(path_, formatCalibrationLine(points));
    } catch (const FileMayBeDamaged& error) {
        throw CalibrationError(errorFor(path_, error).what(),
                               CalibrationError::Damaged{error.previous()});
    } catch (const std::system_error& error) {
        throw errorFor(path_, error);
    }
}

}  // namespace thermo
