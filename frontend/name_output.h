// Names of files as the front end prints them: on one line of text, or in
// JSON for scripts.
#ifndef QUORVALMIST_FRONTEND_NAME_OUTPUT_H_
#define QUORVALMIST_FRONTEND_NAME_OUTPUT_H_

#include <nlohmann/json.hpp>
#include <string>

namespace quorvalmist {

using Json = nlohmann::ordered_json;

// A name as one line of text: control characters (a newline in a file name
// would break the layout) and, where it is no separator, the backslash shown
// as C escapes.
std::string Printable(const std::string& name);

// Adds `key` + "_hex", the name's bytes in hexadecimal, when the name is not
// valid UTF-8: JSON text shows such bytes as U+FFFD, and a script needs the
// exact bytes to find the file.
void AddExactName(Json* object, const std::string& key, const std::string& name);

// Prints `json` indented, and a newline. File names that are not valid UTF-8
// cannot be JSON text: their bad bytes show as U+FFFD rather than failing the
// whole output.
void PrintJson(const Json& json);

}  // namespace quorvalmist

#endif  // QUORVALMIST_FRONTEND_NAME_OUTPUT_H_
