#include "model/Dataset.h"

#include <filesystem>

std::vector<std::string> loadNotes(const std::string& path, std::int64_t count, std::int64_t otherModes) {
    std::vector<std::string> notes;
    const std::string quoted = "\"" + path + "\"";
    std::error_code error;
    if (std::filesystem::is_directory(path, error))
        notes.push_back(quoted + " is a directory, not a sample file: read as a raw trajectory tree, " +
                        std::to_string(count) + " samples");
    else if (count == 0)
        notes.push_back(quoted + " holds no samples");
    if (otherModes > 0)
        notes.push_back(std::to_string(otherModes) + " samples have a mode that is none of the eleven; "
                        "they are counted whatever modes are ticked");
    return notes;
}
