#pragma once
// The blocker run as the host runs it.

#include <gtest/gtest.h>

#include <map>
#include <memory>
#include <optional>
#include <string>

#include "tests/support/child.h"

namespace zentlock::e2e {

inline constexpr const char* lineaGanchos = "estado\t1\tganchos";
inline constexpr const char* lineaError = "error\tsin el permiso de Accesibilidad no se puede bloquear";

// An X11 session on `display` (the variables that would make it a Wayland one are
// cleared), with `entorno` on top.
inline std::unique_ptr<testsupport::Child> lanzar(const std::string& display, testsupport::Stalled atascado = {},
                                                  std::map<std::string, std::string> entorno = {}) {
    entorno.insert({{"DISPLAY", display}, {"WAYLAND_DISPLAY", ""}, {"XDG_SESSION_TYPE", ""}});
    return testsupport::Child::spawn({testsupport::binary("zentlock")}, std::move(entorno), atascado);
}

inline std::string linea(testsupport::Child& hijo, std::chrono::milliseconds limite = std::chrono::seconds(5)) {
    return hijo.readLine(limite).value_or("<nada>");
}

// Sends a command and returns the line it answers with.
inline std::string pedir(testsupport::Child& hijo, const std::string& orden) {
    hijo.writeStdin(orden + "\n");
    return linea(hijo);
}

}  // namespace zentlock::e2e
