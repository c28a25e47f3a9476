#include <string>

#include "measure/atomic_file.h"

namespace thermo {

namespace {

class FileErrorCategory : public std::error_category {
  public:
    const char* name() const noexcept override { return "usb-thermometer file"; }
    std::string message(int value) const override {
        switch (static_cast<FileError>(value)) {
            case FileError::NotARegularFile:
                return "not a regular file, so it is not replaced";
            case FileError::DanglingLink:
                return "a link to nothing; no file is created through it";
            case FileError::LinkNotFollowed:
                return "a link that another user owns in a folder that everyone may write; it is "
                       "not followed";
            case FileError::ChangedMeanwhile:
                return "it was replaced by something else while it was being saved";
        }
        return "unknown file error";
    }
};

}  // namespace

const std::error_category& fileErrorCategory() {
    static const FileErrorCategory category;
    return category;
}

std::error_code make_error_code(FileError error) {
    return {static_cast<int>(error), fileErrorCategory()};
}

}  // namespace thermo
