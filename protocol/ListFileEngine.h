// The application's file engine: lists of files separated by "|" only, so that names with
// spaces, commas and semicolons go as one file, and received names cleaned of characters
// that do not belong in a stored file name.
#pragma once

#include <string>

#include "protocol/LocalFileEngine.h"

namespace protocol {

// `name` with every character of "/*?<>|" and every control character turned into "_";
// an empty name, "." or ".." becomes "_".
std::string CleanFileName(const std::string& name);

class ListFileEngine : public LocalFileEngine {
  public:
    ListFileEngine();
    ~ListFileEngine() override;

    // A file opened for writing has the name part of its path cleaned first, and the cleaned
    // name is written back so that the progress display and the log show the stored name.
    // Files opened only for reading keep their names: they exist under them.
    int Open(std::string& name, const char* mode) override;
    int NextName() override;
    std::string StoredName(const std::string& name) const override;

  protected:
    // A list of this engine is "|"-separated: names may hold blanks.
    bool IsEntrySeparator(char c) const override;
};

} // namespace protocol
