// "--microfonos": the one line the host reads to fill its microphone menu.
#include "tests/zentrec/e2e/arnes.h"

namespace zentrec::e2e {
namespace {

TEST(Microfonos, ListsTheServerInputsAndSuggestsTheBuiltInOneOverTheDefault) {
    auto sonido = testsupport::SoundServer::start();
    ASSERT_TRUE(sonido);
    // A second input, not built in, becomes the default: the built-in one is still
    // the one suggested. Monitors of outputs are not inputs.
    ASSERT_TRUE(sonido->addPipeSource("microfono_usb", "Micrófono USB"));
    ASSERT_TRUE(sonido->setDefaultSource("microfono_usb"));

    auto fin = testsupport::runToEnd({testsupport::binary("zentrec"), "--microfonos"}, {}, entorno(nullptr, sonido.get()));
    EXPECT_EQ(fin.status, 0);
    EXPECT_EQ(fin.out,
              "{\"microfonos\":["
              "{\"id\":\"zentori_mic\",\"interno\":1,\"nombre\":\"Micrófono interno de prueba\","
              "\"predeterminado\":false},"
              "{\"id\":\"microfono_usb\",\"interno\":0,\"nombre\":\"Micrófono USB\",\"predeterminado\":true}],"
              "\"sugerido\":\"zentori_mic\"}\n");
    EXPECT_EQ(fin.err, "");
}

TEST(Microfonos, WithoutASoundServerTheListIsEmpty) {
    testsupport::TempDir carpeta;
    auto fin = testsupport::runToEnd({testsupport::binary("zentrec"), "--microfonos"}, {},
                               {{"PULSE_SERVER", "unix:" + carpeta.file("nadie")}, {"HOME", carpeta.file("")}});
    EXPECT_EQ(fin.status, 0);
    EXPECT_EQ(fin.out, "{\"microfonos\":[],\"sugerido\":\"\"}\n");
}

}  // namespace
}  // namespace zentrec::e2e
