#pragma once

#include <filesystem>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <utility>

#include "measure/conversion.h"

namespace thermo {

// The two calibration points: the sensor ratio seen at 0 °C and the one seen at 100 °C.
struct CalibrationPoints {
    MaybeNumber zero;
    MaybeNumber hundred;
};

inline constexpr double kDefaultCalZero = 0.72;
inline constexpr double kDefaultCalHundred = 0.35;

// A cal.txt that cannot be read, created or replaced. what() names the file with its whole path
// and the reason, in words meant for the user: "/home/ann/thermo/cal.txt: Permission denied".
class CalibrationError : public std::runtime_error {
  public:
    using std::runtime_error::runtime_error;

    // A save that failed part-way through a rewrite in place: the file may be damaged, and
    // `held` is what it held before (no value when that could not be read).
    struct Damaged {
        std::optional<std::string> held;
    };
    CalibrationError(const std::string& what, Damaged damaged)
        : std::runtime_error(what), damaged_(std::move(damaged)) {}

    // No value when the file is as it was before the failed operation.
    const std::optional<Damaged>& damaged() const { return damaged_; }

  private:
    std::optional<Damaged> damaged_;
};

// One line, zero point then hundred point, "." as separator whatever the locale, ending CR LF.
// Numbers are written in their shortest form that reads back to the same double; a point without
// a value is an empty field.
std::string formatCalibrationLine(const CalibrationPoints& points);

// The first two fields of the text; a field ends at a comma or a line end, so the two may stand
// on one line or on two. Anything after the second field is ignored. An empty field has no value;
// a field that is not a number reads as NaN. No value when the text does not hold two fields.
std::optional<CalibrationPoints> parseCalibration(std::string_view text);

// cal.txt at a given path (the program passes the relative name, resolved against the working
// directory at every access).
class CalibrationFile {
  public:
    explicit CalibrationFile(std::filesystem::path path);

    // Reads both points. A missing file is first created holding the default points. Any other
    // failure (unreadable, fewer than two fields) throws CalibrationError and leaves the file as
    // it was.
    CalibrationPoints load() const;

    // Reads both points without ever creating the file: no value when it does not exist. Other
    // failures throw CalibrationError as load() does.
    std::optional<CalibrationPoints> loadIfPresent() const;

    // Replaces the file's content with one line holding the points. The new content is written
    // to a temporary file in the same directory and renamed over the old one, so the file always
    // holds either the old or the new complete line (replaceFileAtomically: a read-only file is
    // refused, a link kept, an unwritable folder rewritten in place). Throws CalibrationError,
    // file unchanged, unless a rewrite in place, which is not atomic, failed part-way: then
    // damaged() says so, with what the file held.
    void write(const CalibrationPoints& points) const;

    const std::filesystem::path& path() const { return path_; }

  private:
    std::filesystem::path path_;
};

}  // namespace thermo
