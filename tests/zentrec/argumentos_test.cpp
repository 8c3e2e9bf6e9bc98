// The command line as the host writes it: the mode, and the ten recording arguments
// with their exact syntax and ranges.

#include <gtest/gtest.h>

#include <filesystem>

#include "zentrec/argumentos.h"

namespace zentrec {
namespace {

using Args = std::vector<std::string>;

// A valid recording command line with argument `posicion` replaced.
Args grabar(size_t posicion = 0, const std::string& valor = "") {
    Args args{"zentrec", "--grabar", "/tmp/x.mp4", "1", "1280", "720", "30", "4000000", "1", "0", "-", "6"};
    if (posicion != 0) args.at(posicion) = valor;
    return args;
}

TEST(Modo, ExactLowerCaseModesOnly) {
    EXPECT_EQ(modoDe({"zentrec", "--microfonos"}), Modo::microfonos);
    EXPECT_EQ(modoDe({"zentrec", "--nivel", "x", "y"}), Modo::nivel);
    EXPECT_EQ(modoDe({"zentrec", "--grabar"}), Modo::grabar);
    EXPECT_EQ(modoDe({"zentrec", "--altavoz"}), Modo::altavoz);
    for (const Args& otro : {Args{}, Args{"zentrec"}, Args{"zentrec", "--GRABAR"}, Args{"zentrec", "--altavoz "},
                             Args{"zentrec", "", "--nivel"}}) {
        EXPECT_EQ(modoDe(otro), Modo::uso) << otro.size();
    }
    EXPECT_EQ(idDeNivel({"zentrec", "--nivel"}), std::nullopt);
    EXPECT_EQ(idDeNivel({"zentrec", "--nivel", ""}), std::nullopt);
    EXPECT_EQ(idDeNivel({"zentrec", "--nivel", "fuente.1", "extra"}), "fuente.1");
}

TEST(Pedido, ValidLineGivesTheRequest) {
    auto p = pedidoDe(grabar());
    ASSERT_TRUE(p);
    EXPECT_EQ(p->salida, "/tmp/x.mp4");
    EXPECT_EQ(p->display, 1u);
    EXPECT_EQ(p->ancho, 1280);
    EXPECT_EQ(p->alto, 720);
    EXPECT_EQ(p->fps, 30);
    EXPECT_EQ(p->bitrate, 4000000);
    EXPECT_TRUE(p->sistema);
    EXPECT_FALSE(p->microfono);
    EXPECT_EQ(p->micId, std::nullopt);
    EXPECT_EQ(p->vozDb, 6.0f);
}

TEST(Pedido, ExactlyTenArguments) {
    Args corto = grabar(), largo = grabar();
    corto.pop_back();
    largo.push_back("0");
    EXPECT_FALSE(pedidoDe(corto));
    EXPECT_FALSE(pedidoDe(largo));
}

struct Caso {
    size_t posicion;
    std::string texto;
    std::optional<double> valor;  // none: refused
};

double campo(const Pedido& p, size_t posicion) {
    switch (posicion) {
        case 3: return p.display;
        case 4: return static_cast<double>(p.ancho);
        case 5: return static_cast<double>(p.alto);
        case 6: return static_cast<double>(p.fps);
        case 7: return static_cast<double>(p.bitrate);
        case 8: return p.sistema;
        case 9: return p.microfono;
        default: return p.vozDb;
    }
}

TEST(Pedido, SyntaxAndRangesOfEachNumber) {
    const Caso casos[] = {
        // Unsigned display ID: sign allowed, but only zero may be negative.
        {3, "+5", 5}, {3, "-0", 0}, {3, "007", 7}, {3, "4294967295", 4294967295.0}, {3, "-1", {}},
        {3, " 5", {}}, {3, "5 ", {}}, {3, "0x10", {}}, {3, "", {}}, {3, "+", {}}, {3, "4294967296", {}},
        {3, "1.0", {}}, {3, "\xD9\xA1", {}},
        // Sizes 2 to 8192, rounded down to even.
        {4, "1921", 1920}, {4, "8192", 8192}, {4, "3", 2}, {4, "+0640", 640}, {4, "1", {}}, {4, "8193", {}},
        {4, "-2", {}}, {4, "99999999999999999999", {}}, {4, "1e3", {}}, {5, "1081", 1080}, {5, "8193", {}},
        // Frame rate and bit rate.
        {6, "0", {}}, {6, "61", {}}, {6, "1", 1}, {6, "60", 60},
        {7, "99999", {}}, {7, "100000001", {}}, {7, "", {}}, {7, "100000", 100000}, {7, "100000000", 100000000},
        // Switches: "0" or "1", nothing else.
        {8, "0", 0}, {9, "1", 1}, {8, "true", {}}, {8, "yes", {}}, {8, "", {}}, {9, "01", {}}, {9, " 1", {}},
        {9, "-0", {}},
        // Voice gain: a C float, clamped to 0…24, not-a-number taken as 24.
        {11, "1e1", 10}, {11, "0x1p3", 8}, {11, "2.5", 2.5}, {11, "nan", 24}, {11, "inf", 24}, {11, "INF", 24},
        {11, "-inf", 0}, {11, "30", 24}, {11, "-5", 0}, {11, " 5", {}}, {11, "5 ", {}}, {11, "", {}},
        {11, "1,5", {}}, {11, "6dB", {}},
    };
    for (const Caso& c : casos) {
        auto p = pedidoDe(grabar(c.posicion, c.texto));
        ASSERT_EQ(p.has_value(), c.valor.has_value()) << c.posicion << " \"" << c.texto << '"';
        if (p) {
            EXPECT_EQ(campo(*p, c.posicion), *c.valor) << c.posicion << " \"" << c.texto << '"';
        }
    }
}

TEST(Pedido, MicrophoneIdentifier) {
    EXPECT_EQ(pedidoDe(grabar(10, "-"))->micId, std::nullopt);
    EXPECT_EQ(pedidoDe(grabar(10, ""))->micId, "");
    EXPECT_EQ(pedidoDe(grabar(10, "alsa_input.usb-Mic 2"))->micId, "alsa_input.usb-Mic 2");
}

TEST(Pedido, RelativeOutputIsTakenFromTheCurrentFolder) {
    auto p = pedidoDe(grabar(2, "grabaciones/uno.mp4"));
    ASSERT_TRUE(p);
    EXPECT_EQ(p->salida, (std::filesystem::current_path() / "grabaciones/uno.mp4").string());
}

}  // namespace
}  // namespace zentrec
