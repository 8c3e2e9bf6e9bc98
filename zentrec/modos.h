#pragma once
// The recorder's four modes, as the program runs them.

#include <optional>
#include <string>
#include <vector>

namespace zentrec {

// Runs the mode that `args` (the whole argument vector) names. Returns the status to
// end with at once (usage errors, the microphone list, a recorder that cannot be
// made), or nothing when the mode runs on: the caller then serves the main queue, and
// the process ends through salir().
std::optional<int> ejecutar(const std::vector<std::string>& args);

// The "--microfonos" line: the inputs with their default and built-in marks, and the
// one to suggest.
void listarMicrofonos();

}  // namespace zentrec
