#include "tests/zentlock/e2e/escritorio.h"

#include <X11/Xlib.h>
#include <X11/Xatom.h>
#include <X11/extensions/XInput.h>
#include <X11/extensions/XInput2.h>
#include <X11/extensions/XTest.h>
#include <poll.h>

#include <cstdio>
#include <cstring>
#include <optional>
#include <thread>

namespace zentlock::e2e {

namespace {

using Clock = std::chrono::steady_clock;

// A keycode with no key behind it on the test server: the host's end-of-input marker.
constexpr unsigned teclaMarca = 200;

XDevice* abrirDispositivo(Display* display, const char* nombre) {
    int cuantos = 0;
    XDeviceInfo* lista = XListInputDevices(display, &cuantos);
    XID id = 0;
    bool hallado = false;
    for (int i = 0; i < cuantos; ++i) {
        if (lista[i].name && std::strcmp(lista[i].name, nombre) == 0) {
            id = lista[i].id;
            hallado = true;
        }
    }
    if (lista) XFreeDeviceList(lista);
    return hallado ? XOpenDevice(display, id) : nullptr;
}

}  // namespace

struct Escritorio::Estado {
    Display* display = nullptr;
    Window ventana = 0;
    XDevice* teclado = nullptr;
    XDevice* raton = nullptr;
    Display* otro = nullptr;  // another client, for grabs that are not the blocker's
    int retenido = -1;        // the device it grabbed

    ~Estado() {
        if (otro) XCloseDisplay(otro);
        if (!display) return;
        if (teclado) XCloseDevice(display, teclado);
        if (raton) XCloseDevice(display, raton);
        XCloseDisplay(display);
    }

    // Waits for the next event for at most until `fin`; false on timeout.
    bool siguiente(XEvent& evento, Clock::time_point fin) {
        for (;;) {
            if (XPending(display) > 0) {
                XNextEvent(display, &evento);
                return true;
            }
            auto falta = std::chrono::duration_cast<Milliseconds>(fin - Clock::now()).count();
            if (falta <= 0) return false;
            pollfd espera{ConnectionNumber(display), POLLIN, 0};
            poll(&espera, 1, static_cast<int>(falta));
        }
    }
};

std::unique_ptr<Escritorio> Escritorio::abrir(const std::string& nombre) {
    std::unique_ptr<Escritorio> self(new Escritorio());
    self->estado_ = std::make_unique<Estado>();
    Estado& e = *self->estado_;
    e.display = XOpenDisplay(nombre.c_str());
    if (!e.display) {
        std::fprintf(stderr, "no se puede abrir %s\n", nombre.c_str());
        return nullptr;
    }
    e.teclado = abrirDispositivo(e.display, "Xvfb keyboard");
    e.raton = abrirDispositivo(e.display, "Xvfb mouse");
    if (!e.teclado || !e.raton) {
        std::fprintf(stderr, "el servidor no tiene los dispositivos de Xvfb\n");
        return nullptr;
    }

    int pantalla = DefaultScreen(e.display);
    XSetWindowAttributes atributos{};
    atributos.override_redirect = True;
    atributos.event_mask = KeyPressMask | KeyReleaseMask | ButtonPressMask | ButtonReleaseMask |
                           PointerMotionMask | StructureNotifyMask;
    e.ventana = XCreateWindow(e.display, RootWindow(e.display, pantalla), 0, 0,
                              static_cast<unsigned>(DisplayWidth(e.display, pantalla)),
                              static_cast<unsigned>(DisplayHeight(e.display, pantalla)), 0, CopyFromParent,
                              InputOutput, CopyFromParent, CWOverrideRedirect | CWEventMask, &atributos);
    XMapRaised(e.display, e.ventana);
    XEvent evento;
    auto fin = Clock::now() + Milliseconds(5000);
    bool mapeada = false;
    while (!mapeada && e.siguiente(evento, fin)) mapeada = evento.type == MapNotify;
    if (!mapeada) return nullptr;
    XSetInputFocus(e.display, e.ventana, RevertToParent, CurrentTime);
    XSync(e.display, False);
    return self;
}

Escritorio::~Escritorio() = default;

void Escritorio::teclaLocal(unsigned keycode, bool baja) {
    XTestFakeDeviceKeyEvent(estado_->display, estado_->teclado, keycode, baja, nullptr, 0, CurrentTime);
    XFlush(estado_->display);
}

void Escritorio::pulsaLocal(unsigned keycode) {
    teclaLocal(keycode, true);
    teclaLocal(keycode, false);
}

void Escritorio::botonLocal(unsigned boton, bool baja) {
    XTestFakeDeviceButtonEvent(estado_->display, estado_->raton, boton, baja, nullptr, 0, CurrentTime);
    XFlush(estado_->display);
}

void Escritorio::moverLocal(int dx, int dy) {
    int ejes[2] = {dx, dy};
    XTestFakeDeviceMotionEvent(estado_->display, estado_->raton, True, 0, ejes, 2, CurrentTime);
    XFlush(estado_->display);
}

void Escritorio::teclaHost(unsigned keycode, bool baja) {
    XTestFakeKeyEvent(estado_->display, keycode, baja, CurrentTime);
    XFlush(estado_->display);
}

void Escritorio::botonHost(unsigned boton, bool baja) {
    XTestFakeButtonEvent(estado_->display, boton, baja, CurrentTime);
    XFlush(estado_->display);
}

void Escritorio::moverHost(int x, int y) {
    XTestFakeMotionEvent(estado_->display, -1, x, y, CurrentTime);
    XFlush(estado_->display);
}

static std::optional<Llegada> comoLlegada(const XEvent& evento) {
    switch (evento.type) {
        case KeyPress: return Llegada{Llegada::Tipo::teclaBaja, evento.xkey.keycode, evento.xkey.state};
        case KeyRelease: return Llegada{Llegada::Tipo::teclaSube, evento.xkey.keycode, evento.xkey.state};
        case ButtonPress: return Llegada{Llegada::Tipo::botonBaja, evento.xbutton.button, evento.xbutton.state};
        case ButtonRelease: return Llegada{Llegada::Tipo::botonSube, evento.xbutton.button, evento.xbutton.state};
        case MotionNotify: return Llegada{Llegada::Tipo::movimiento, 0, evento.xmotion.state};
        default: return std::nullopt;
    }
}

std::vector<Llegada> Escritorio::hastaMarca(Milliseconds limite) {
    teclaHost(teclaMarca, true);
    teclaHost(teclaMarca, false);
    std::vector<Llegada> llegadas;
    auto fin = Clock::now() + limite;
    XEvent evento;
    while (estado_->siguiente(evento, fin)) {
        auto llegada = comoLlegada(evento);
        if (!llegada) continue;
        if (llegada->tipo == Llegada::Tipo::teclaSube && llegada->codigo == teclaMarca) return llegadas;
        if (llegada->codigo != teclaMarca) llegadas.push_back(*llegada);
    }
    std::fprintf(stderr, "la marca no llegó a la ventana\n");
    llegadas.push_back({Llegada::Tipo::teclaBaja, teclaMarca});  // makes any expectation fail visibly
    return llegadas;
}

bool Escritorio::llegaTeclaLocal(unsigned keycode) {
    pulsaLocal(keycode);
    return contar(hastaMarca(), Llegada::Tipo::teclaBaja, keycode) > 0;
}

std::vector<Llegada> Escritorio::durante(Milliseconds lapso) {
    std::vector<Llegada> llegadas;
    auto fin = Clock::now() + lapso;
    XEvent evento;
    while (estado_->siguiente(evento, fin)) {
        if (auto llegada = comoLlegada(evento)) llegadas.push_back(*llegada);
    }
    return llegadas;
}

Posicion Escritorio::puntero() {
    Window raiz, hijo;
    int x = 0, y = 0, wx, wy;
    unsigned mascara;
    XQueryPointer(estado_->display, DefaultRootWindow(estado_->display), &raiz, &hijo, &x, &y, &wx, &wy, &mascara);
    return {x, y};
}

bool Escritorio::teclaAbajo(unsigned keycode) {
    char teclas[32];
    XQueryKeymap(estado_->display, teclas);
    return (teclas[keycode / 8] >> (keycode % 8)) & 1;
}

bool Escritorio::botonAbajo(unsigned boton) {
    Window raiz, hijo;
    int x, y, wx, wy;
    unsigned mascara = 0;
    XQueryPointer(estado_->display, DefaultRootWindow(estado_->display), &raiz, &hijo, &x, &y, &wx, &wy, &mascara);
    return mascara & (1u << (7 + boton));
}

void Escritorio::habilitar(Dispositivo dispositivo, bool si) {
    XDevice* cual = dispositivo == Dispositivo::teclado ? estado_->teclado : estado_->raton;
    Atom habilitado = XInternAtom(estado_->display, "Device Enabled", False);
    unsigned char valor = si ? 1 : 0;
    XIChangeProperty(estado_->display, static_cast<int>(cual->device_id), habilitado, XA_INTEGER, 8,
                     PropModeReplace, &valor, 1);
    XSync(estado_->display, False);
}

bool Escritorio::otroClienteRetiene(Dispositivo dispositivo) {
    Estado& e = *estado_;
    if (!e.otro) e.otro = XOpenDisplay(DisplayString(e.display));
    if (!e.otro) return false;
    XDevice* cual = dispositivo == Dispositivo::teclado ? e.teclado : e.raton;
    unsigned char bits[XIMaskLen(XI_LASTEVENT)] = {};
    XISetMask(bits, XI_KeyPress);
    XISetMask(bits, XI_KeyRelease);
    XISetMask(bits, XI_ButtonPress);
    XISetMask(bits, XI_ButtonRelease);
    XIEventMask mascara{static_cast<int>(cual->device_id), sizeof bits, bits};
    Status hecho = XIGrabDevice(e.otro, static_cast<int>(cual->device_id), DefaultRootWindow(e.otro), CurrentTime,
                                None, XIGrabModeAsync, XIGrabModeAsync, False, &mascara);
    XSync(e.otro, False);
    if (hecho != GrabSuccess) return false;
    e.retenido = static_cast<int>(cual->device_id);
    return true;
}

void Escritorio::otroClienteSuelta() {
    Estado& e = *estado_;
    if (!e.otro || e.retenido < 0) return;
    XIUngrabDevice(e.otro, e.retenido, CurrentTime);
    XSync(e.otro, False);
    e.retenido = -1;
}

bool esperarQue(const std::function<bool()>& condicion, Milliseconds limite) {
    auto fin = Clock::now() + limite;
    for (;;) {
        if (condicion()) return true;
        if (Clock::now() >= fin) return false;
        std::this_thread::sleep_for(Milliseconds(5));
    }
}

int contar(const std::vector<Llegada>& llegadas, Llegada::Tipo tipo, unsigned codigo) {
    int n = 0;
    for (const auto& llegada : llegadas) {
        if (llegada.tipo == tipo && (codigo == 0 || llegada.codigo == codigo)) ++n;
    }
    return n;
}

Servidor Servidor::arrancar(std::vector<std::string> extra) {
    Servidor servidor;
    servidor.xvfb = testsupport::Xvfb::start("1280x720x24", std::move(extra));
    if (servidor.xvfb) servidor.escritorio = Escritorio::abrir(servidor.xvfb->display());
    return servidor;
}

}  // namespace zentlock::e2e
