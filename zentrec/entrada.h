#pragma once
// Standard input of the long-running modes: lines are read as they come and only
// what can still decide something is kept, so no line can exhaust memory.

#include <cstddef>
#include <cstdint>
#include <string_view>

namespace zentrec {

// Recognises the line "parar", with tabs and Unicode space separators (U+0020, U+00A0,
// U+1680, U+2000 to U+200A, U+202F, U+205F, U+3000, in UTF-8) allowed around it, in a
// byte stream of lines ended by "\n" or "\r\n". Keeps at most the few bytes of an
// unfinished space character, whatever the length of a line.
class DetectorParar {
public:
    // Reads bytes up to and including the first line that says "parar". Returns how
    // many bytes that took, or `bytes.size()` when no such line ended in them (the
    // detector then carries the unfinished line over to the next call).
    size_t leer(std::string_view bytes, bool& parar);
    // The input ended: whether its unfinished last line says "parar".
    bool finDeEntrada();

private:
    enum class Estado : uint8_t { antes, palabra, despues, descartada };
    bool finDeLinea();
    void byte(uint8_t b);
    bool espacio(uint8_t b);

    Estado estado_ = Estado::antes;
    int letras_ = 0;            // letters of "parar" matched
    uint8_t pendiente_[3] = {};  // the unfinished UTF-8 space character
    int enPendiente_ = 0;
    bool retorno_ = false;      // a "\r" that ends the line if "\n" follows
};

// Blocks until a line "parar" or the end of input on `fd`. True for "parar".
bool esperarParar(int fd);

// Reads `fd` until it ends, discarding everything.
void descartarEntrada(int fd);

}  // namespace zentrec
