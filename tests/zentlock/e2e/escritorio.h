#pragma once
// The desktop as the tests see it: a private X server, a full-screen window that
// records the input reaching it, the server's own keyboard and mouse played as the
// local user, and core XTEST input played as the host.

#include <chrono>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "tests/support/xvfb.h"

namespace zentlock::e2e {

using Milliseconds = std::chrono::milliseconds;

struct Posicion {
    int x = 0, y = 0;
    bool operator==(const Posicion&) const = default;
};

// What reached the window, in order.
struct Llegada {
    enum class Tipo { teclaBaja, teclaSube, botonBaja, botonSube, movimiento } tipo;
    unsigned codigo;  // keycode or button; 0 for motion
    unsigned estado = 0;  // modifiers and buttons down as the event reports them (ShiftMask ...)
};

// The two devices of the server that play the local user.
enum class Dispositivo { teclado, raton };

class Escritorio {
public:
    // Null when the server cannot be reached or lacks the devices the tests play.
    static std::unique_ptr<Escritorio> abrir(const std::string& display);
    ~Escritorio();
    Escritorio(const Escritorio&) = delete;
    Escritorio& operator=(const Escritorio&) = delete;

    // The local user, through the "Xvfb keyboard" and "Xvfb mouse" devices.
    void teclaLocal(unsigned keycode, bool baja);
    void pulsaLocal(unsigned keycode);  // press and release
    void botonLocal(unsigned boton, bool baja);
    void moverLocal(int dx, int dy);  // relative, as a mouse moves

    // The host, through core XTEST input.
    void teclaHost(unsigned keycode, bool baja);
    void botonHost(unsigned boton, bool baja);
    void moverHost(int x, int y);  // absolute

    // Sends a host key press of a key nobody else uses and returns everything that
    // reached the window before it. Input travels in order, so whatever local input
    // was played before and was not held back has arrived by then.
    std::vector<Llegada> hastaMarca(Milliseconds limite = Milliseconds(5000));
    // A local press and release of `keycode`: whether the press reached the window.
    bool llegaTeclaLocal(unsigned keycode);
    // Collects what reaches the window for this long.
    std::vector<Llegada> durante(Milliseconds lapso);

    Posicion puntero();
    bool teclaAbajo(unsigned keycode);
    bool botonAbajo(unsigned boton);

    // Disables or enables a device, as `xinput disable` and a console switch do.
    void habilitar(Dispositivo dispositivo, bool si);
    // Another client of the server grabs the device (XInput2), as a program taking the
    // keyboard for a shortcut would, or lets it go.
    bool otroClienteRetiene(Dispositivo dispositivo);
    void otroClienteSuelta();

    struct Estado;

private:
    Escritorio() = default;
    std::unique_ptr<Estado> estado_;
};

int contar(const std::vector<Llegada>& llegadas, Llegada::Tipo tipo, unsigned codigo = 0);

// Checks `condicion` every few milliseconds until it holds or `limite` passes; for state
// that changes when another process gets to it.
bool esperarQue(const std::function<bool()>& condicion, Milliseconds limite = Milliseconds(5000));

// A private server with a desktop, for one test.
struct Servidor {
    std::unique_ptr<testsupport::Xvfb> xvfb;
    std::unique_ptr<Escritorio> escritorio;
    static Servidor arrancar(std::vector<std::string> extra = {});
};

// Keycodes of the evdev layout every X server uses.
inline constexpr unsigned teclaEscape = 9;
inline constexpr unsigned teclaA = 38;
inline constexpr unsigned teclaS = 39;
inline constexpr unsigned teclaD = 40;
inline constexpr unsigned teclaShift = 50;

}  // namespace zentlock::e2e
