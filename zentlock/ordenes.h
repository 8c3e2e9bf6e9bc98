#pragma once
// Standard input as command lines: the line end ("\n" or "\r\n") is removed, then
// spaces and tabs at both ends. Memory stays bounded whatever the input: blanks around
// a command are counted, not kept, and a line whose trimmed text is longer than any
// command could be is dropped whole, since it could never match one.

#include <array>
#include <cstddef>
#include <functional>
#include <string_view>

namespace zentlock {

class Troceador {
public:
    // Longest trimmed text handed on; every command is far shorter.
    static constexpr size_t maxOrden = 64;

    // `alOrden` gets each trimmed line that fits, empty ones included.
    explicit Troceador(std::function<void(std::string_view)> alOrden);

    void alimentar(std::string_view bytes);
    // End of input: a last line without a line end still counts.
    void terminar();

private:
    void byte(char c);
    void guardar(char c);  // a byte of the line's text
    void finDeLinea();

    std::function<void(std::string_view)> alOrden_;
    std::array<char, maxOrden> texto_{};
    size_t largo_ = 0;           // bytes kept, trailing blanks included
    size_t util_ = 0;            // bytes up to the last non-blank
    bool empezada_ = false;      // a non-blank has been seen on this line
    bool blancoPerdido_ = false; // a blank did not fit after the text
    bool desbordada_ = false;    // the trimmed text is longer than maxOrden
    bool retornoPendiente_ = false;  // a "\r" that ends the line if "\n" follows
};

// Reads `fd` with read(2) until end of input or a read error, handing every line to
// `alOrden`, and returns after the last one. Runs on the calling thread.
void leerOrdenes(int fd, const std::function<void(std::string_view)>& alOrden);

}  // namespace zentlock
