// A refusal the PC sends just before it relinks must reach the handset: the
// relink's purge may not throw away bytes a Write reported sent.
#include <filesystem>

#include "engine_fixture.h"
#include "handset/sim_handset.h"
#include "test_files.h"

using namespace mirvo;
using namespace mirvo::testing;
namespace fs = std::filesystem;

namespace {

class PurgeTest : public EngineTest {
 protected:
  void SetUp() override {
    const fs::path root = dir_.path() + "/handset";
    WriteFile(root / "a.bin", PatternBytes(1000));
    sim::HandsetOptions options;
    options.wait = std::chrono::milliseconds(3000);
    handset_ = std::make_unique<sim::SimHandset>(root, options);
    OpenEngine(handset_->DevicePath());
    ASSERT_EQ(engine_->EstablishLink(), ExchangeResult::Ok);
    ASSERT_EQ(engine_->FtStart("0000"), ExchangeResult::Ok);
  }
  void TearDown() override {
    EngineTest::TearDown();
    handset_.reset();
  }
  std::unique_ptr<sim::SimHandset> handset_;
};

TEST_F(PurgeTest, ANakBeforeARelinkIsNeverLost) {
  // The file's only frame is refused, so nothing of the handset's crosses
  // the purge. The race is lost often but not always: several rounds.
  for (int round = 0; round < 6; ++round) {
    ASSERT_TRUE(handset_->WaitFor([](const sim::HandsetState& s) { return !s.busy; }, std::chrono::seconds(5)));
    handset_->ClearLog();
    handset_->CorruptCrc(2);  // 1: the OK reply, 2: the data frame
    std::string data;
    EXPECT_EQ(engine_->GetFile(data, "a.bin"), ExchangeResult::FrameLost) << "round " << round;
    EXPECT_TRUE(data.empty());
    ASSERT_TRUE(handset_->WaitFor([](const sim::HandsetState& s) { return !s.busy; }, std::chrono::seconds(5)));
    EXPECT_NE(handset_->ReceivedBytes().find('\x15'), std::string::npos) << "round " << round << ": NAK lost";
  }
  const std::string upload = dir_.path() + "/big.bin";
  WriteFile(upload, PatternBytes(1 << 20));
  const std::string attr = std::string(30, '-') + "00";
  for (int round = 0; round < 3; ++round) {
    handset_->NakUploadFrame(200 + round * 300);
    EXPECT_EQ(engine_->PutFile("", upload, attr), ExchangeResult::DataRefused) << "round " << round;
  }
  EXPECT_EQ(engine_->PutFile("", upload, attr), ExchangeResult::Ok);
}

}  // namespace
