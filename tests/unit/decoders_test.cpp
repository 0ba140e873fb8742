// Decoder selection and activation: the row for each firmware generation, and the firmware
// commands that switch the chosen decoders on, in column order.
#include "adapter/decoders.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "adapter/adapter_info.h"
#include "adapter/decoders_internal.h"
#include "capi/records/capi_provider.h"
#include "control/records/control_block.h"
#include "support/stdout_capture.h"
#include "support/temporary_folder.h"
#include "support/test_messages.h"

namespace {

using testing_support::Bytes;
using testing_support::FirmwareCommands;

// Every message put, as the provider took it.
std::vector<Bytes> sent;

uint32_t RecordPut(uint32_t, const uint8_t* message) {
  sent.emplace_back(message, message + (message[0] | (message[1] << 8)));
  return 0;
}

class DecoderActivation : public testing_support::TemporaryFolderTest {
 protected:
  void SetUp() override {
    ASSERT_NO_FATAL_FAILURE(TemporaryFolderTest::SetUp());
    adapter::adapterInfo = adapter::AdapterInfo{};
    sent.clear();
    capi::capiProvider = {};
    capi::capiProvider.CAPI_PUT_MESSAGE = RecordPut;
    capi::capiProvider.applId = 7;
  }
};

TEST(DecoderRows, KindAndVersionBoundaries) {
  struct Case {
    int kind, version, row;
  } cases[] = {{2, 0, 0},   {2, 40, 0},  {2, 41, 2}, {2, 49, 2}, {2, 50, 3}, {2, 99, 3},
               {2, 100, 0}, {2, 255, 0}, {3, 0, 3},  {3, 9, 3},  {3, 10, 0}, {3, 255, 0},
               {0, 45, 0},  {1, 45, 0},  {4, 5, 0},  {255, 5, 0}};
  for (const Case& c : cases) {
    EXPECT_EQ(
        adapter::SelectDecoderRow(static_cast<uint8_t>(c.kind), static_cast<uint8_t>(c.version)),
        c.row)
        << c.kind << "/" << c.version;
  }
}

// Runs ActivateDecoders for one firmware generation; returns what it wrote.
std::string Activate(uint8_t kind, uint8_t version) {
  adapter::adapterInfo.firmwareKind = kind;
  adapter::adapterInfo.firmwareVersion = version;
  testing_support::StdoutCapture capture;
  adapter::ActivateDecoders();
  return capture.Take();
}

TEST_F(DecoderActivation, ColumnOrderNotOptionOrder) {
  control::controlBlock.decoderBch2 = 1;  // -b given before -2
  control::controlBlock.decoderDch2 = 1;
  EXPECT_EQ(Activate(3, 0), "");
  EXPECT_EQ(FirmwareCommands(sent), (std::vector<std::string>{"cmt l2", "bch 22"}));
  sent.clear();
  EXPECT_EQ(Activate(2, 45), "");
  EXPECT_EQ(FirmwareCommands(sent), (std::vector<std::string>{"cmt 22", "bch 22"}));
}

TEST_F(DecoderActivation, AllFiveGoToTheCurrentController) {
  control::ControlBlock& cb = control::controlBlock;
  cb.decoderDch2 = cb.decoderDch3 = cb.decoderDch3Ext = cb.decoderPpp = cb.decoderBch2 = 1;
  cb.controller = 4;
  Activate(3, 0);
  EXPECT_EQ(FirmwareCommands(sent),
            (std::vector<std::string>{"cmt l2", "cmt l3", "cmt l3x", "ppp dec", "bch 22"}));
  for (const Bytes& m : sent) {
    EXPECT_EQ(m[8], 4);
    EXPECT_EQ(m[9], 1);
  }
  sent.clear();
  Activate(2, 41);
  EXPECT_EQ(FirmwareCommands(sent),
            (std::vector<std::string>{"cmt 22", "cmt 23", "cmt 24", "ppp dec", "bch 22"}));
}

TEST_F(DecoderActivation, RowZeroWritesItsMessageWhateverTheOptions) {
  EXPECT_EQ(Activate(2, 40), "\nNo decoder available, please use another download file!\n");
  control::controlBlock.decoderDch3 = 1;
  EXPECT_EQ(Activate(3, 10), "\nNo decoder available, please use another download file!\n");
  EXPECT_TRUE(sent.empty());
}

TEST_F(DecoderActivation, NoOptionSendsAndWritesNothing) {
  EXPECT_EQ(Activate(3, 0), "");
  EXPECT_TRUE(sent.empty());
}

}  // namespace
