#include "foundation/FileException.h"

namespace Vantor {

namespace {
constexpr std::string_view kTexts[] = {
    "No exception!",                          // FL_NONE
    "Insufficient memory available.",         // FL_MEM
    "File does not exist.",                   // FL_EXISTS_NOT
    "File already exists.",                   // FL_EXISTS
    "File is open.",                          // FL_IS_OPEN
    "File cannot be opened.",                 // FL_CANNOT_OPEN
    "File is closed.",                        // FL_IS_CLOSED
    "Unable to close file.",                  // FL_CANNOT_CLOSE
    "Illegal combination of access flaggs.",  // FL_ACCESS_COMB
    "File is not opened for reading.",        // FL_CANNOT_READ
    "Unable to read.",                        // FL_READ
    "File is not opened for writing.",        // FL_CANNOT_WRITE
    "Unable to write.",                       // FL_WRITE
    "Unable to flush buffer.",                // FL_FLUSH
    "End of file.",                           // FL_EOF
    "Illegal position.",                      // FL_POSITION
    "Unable to unlock file.",                 // FL_CANNOT_UNLOCK
    "Unable to lock file.",                   // FL_CANNOT_LOCK
    "Someone else has locked the file.",      // FL_IS_LOCKED
    "Unable to copy file.",                   // FL_CANNOT_COPY
    "Failed to rename.",                      // FL_RENAME
    "Failed to remove.",                      // FL_REMOVE
    "Failed to create directory.",            // FL_CREATE_DIR
    "Failed to get current directory.",       // FL_GET_DIR
    "Not a directory.",                       // FL_NO_DIR
    "Unable to obtain free disk space.",      // FL_SPACE
    "Unable to access file.",                 // FL_ACCESS
    "An error occured. (No changes made.)",   // FL_ERROR
};
}  // namespace

std::string FileException::description() const {
  return describe("File", textOf(kTexts, getCode()));
}

}  // namespace Vantor
