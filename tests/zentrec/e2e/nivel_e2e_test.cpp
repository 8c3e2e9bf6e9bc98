// "--nivel": the live level meter the host shows while the user picks a microphone.
#include "tests/support/sound_server.h"
#include "tests/zentrec/e2e/arnes.h"

namespace zentrec::e2e {
namespace {

class Nivel : public ::testing::Test {
protected:
    void SetUp() override {
        sonido_ = testsupport::SoundServer::start();
        ASSERT_TRUE(sonido_);
    }
    std::unique_ptr<testsupport::Child> medir(std::vector<std::string> extra = {}) {
        std::vector<std::string> args{testsupport::binary("zentrec"), "--nivel"};
        args.insert(args.end(), extra.begin(), extra.end());
        return lanzar(args, entorno(nullptr, sonido_.get()));
    }
    std::unique_ptr<testsupport::SoundServer> sonido_;
};

TEST_F(Nivel, ASteadySignalReadsItsLevelTenTimesASecondAndEndOfInputEndsQuietly) {
    // A constant 0.1 is -20 dBFS.
    testsupport::MicrophoneFeeder mic(sonido_->fifoOf(testsupport::SoundServer::kMicrophone),
                                      [](int64_t) { return 0.1f; });
    ASSERT_TRUE(mic.opened());
    auto hijo = medir();
    ASSERT_TRUE(hijo);
    // The first windows may hold what waited in the pipe; from the third on the level
    // is steady.
    for (int i = 0; i < 3; ++i) ASSERT_TRUE(evento(*hijo, 10s)) << hijo->stderrText();
    const auto desde = Clock::now();
    int cuantos = 0;
    while (segundosDesde(desde) < 2.0) {
        std::string texto;
        auto uno = evento(*hijo, 2s, &texto);
        ASSERT_TRUE(uno) << texto << hijo->stderrText();
        EXPECT_EQ(*uno, (json{{"t", "nivel"}, {"db", -20.0}})) << texto;
        ++cuantos;
    }
    EXPECT_NEAR(cuantos, 20, 5) << "events in 2 s";
    hijo->closeStdin();
    EXPECT_EQ(hijo->waitExit(5s), 0);
    for (const auto& uno : eventosHastaElFinal(*hijo, 5s)) EXPECT_EQ(uno.value("t", ""), "nivel") << uno.dump();
}

TEST_F(Nivel, AnUnpluggedMicrophoneEndsTheMeterWithItsReason) {
    auto modulo = sonido_->addPipeSource("microfono_usb", "Micrófono USB");
    ASSERT_TRUE(modulo);
    testsupport::MicrophoneFeeder mic(sonido_->fifoOf("microfono_usb"), [](int64_t) { return 0.1f; });
    auto hijo = medir({"microfono_usb"});
    ASSERT_TRUE(hijo);
    ASSERT_TRUE(evento(*hijo, 10s)) << hijo->stderrText();
    ASSERT_TRUE(sonido_->unloadModule(*modulo));
    std::optional<json> fin;
    for (const auto& uno : eventosHastaElFinal(*hijo, 10s)) {
        if (uno.value("t", "") == "nivel") continue;
        EXPECT_FALSE(fin) << "a second end: " << uno.dump();
        fin = uno;
    }
    ASSERT_TRUE(fin) << hijo->stderrText();
    EXPECT_EQ(*fin, (json{{"t", "fin"}, {"motivo", "el micrófono se ha desconectado"}}));
    EXPECT_EQ(hijo->waitExit(5s), 0);
}

}  // namespace
}  // namespace zentrec::e2e
