#include "zentrec/modos.h"

#include <signal.h>

#include <memory>

#include "platform/dispatch.h"
#include "platform/system.h"
#include "zentrec/altavoz.h"
#include "zentrec/argumentos.h"
#include "zentrec/entrada.h"
#include "zentrec/grabadora.h"
#include "zentrec/microfono.h"
#include "zentrec/nivel.h"
#include "zentrec/salida.h"

namespace zentrec {

namespace dispatch = platform::dispatch;

void listarMicrofonos() {
    const auto lista = microfonos();
    std::optional<std::string> predeterminado;
    if (auto device = platform::defaultAudioInputDevice()) predeterminado = device->uniqueID;
    std::optional<std::string> interno;
    Evento dispositivos = Evento::array();
    for (const auto& device : lista) {
        const bool esInterno = device.transportType == platform::kTransportTypeBuiltIn;
        if (esInterno && !interno) interno = device.uniqueID;
        dispositivos.push_back({
            {"id", device.uniqueID},
            {"nombre", device.localizedName},
            {"predeterminado", predeterminado && *predeterminado == device.uniqueID},
            {"interno", esInterno ? 1 : 0},
        });
    }
    emitir({{"microfonos", dispositivos}, {"sugerido", interno.value_or(predeterminado.value_or(""))}});
}

namespace {

std::optional<int> grabar(const std::vector<std::string>& args) {
    auto pedido = pedidoDe(args);
    if (!pedido) {
        escribirTodo(proceso().error, kUsoGrabar);
        return 2;
    }
    auto creada = Grabadora::crear(*pedido);
    if (!creada) {
        emitir({{"t", "error"}, {"motivo", creada.error().description}});
        return 1;
    }
    // Lives until the process ends.
    std::shared_ptr<Grabadora> grabadora = creada.value();
    grabadora->empezar();
    dispatch::detachThread([grabadora, entrada = proceso().entrada] {
        esperarParar(entrada);
        grabadora->parar();
    });
    // SIGTERM (the host) and SIGINT (Ctrl-C in a terminal) finish the file like
    // "parar"; the sources keep the signals from killing the process.
    static std::shared_ptr<dispatch::SignalSource> terminacion, interrupcion;
    terminacion = dispatch::SignalSource::create(SIGTERM, dispatch::Queue::main(), [grabadora] { grabadora->parar(); });
    interrupcion = dispatch::SignalSource::create(SIGINT, dispatch::Queue::main(), [grabadora] { grabadora->parar(); });
    return std::nullopt;
}

std::optional<int> altavoz() {
    if (!platform::runningSystemAtLeast({13, 0, 0})) {
        escribirTodo(proceso().error, "error\thace falta macOS 13 o posterior\n");
        return 1;
    }
    static std::shared_ptr<Altavoz> uno;
    uno = Altavoz::crear();
    uno->empezar();
    dispatch::detachThread([entrada = proceso().entrada] {
        descartarEntrada(entrada);
        salir(0);
    });
    return std::nullopt;
}

}  // namespace

std::optional<int> ejecutar(const std::vector<std::string>& args) {
    switch (modoDe(args)) {
        case Modo::microfonos:
            listarMicrofonos();
            return 0;
        case Modo::nivel:
            nivel(idDeNivel(args));
            return std::nullopt;
        case Modo::grabar:
            return grabar(args);
        case Modo::altavoz:
            return altavoz();
        case Modo::uso:
            break;
    }
    escribirTodo(proceso().error, kUso);
    return 2;
}

}  // namespace zentrec
