// The control gate alone, with a sink that records what it raises instead
// of a core: what it admits without a signature, how its warnings are
// throttled per peer, and the bounded sets it keeps of peers.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "protocol/control/control_gate.h"

namespace brenvik {
namespace {

class ControlGateTest : public ::testing::Test {
 protected:
  std::vector<ProtocolEvent> raised;
  ControlGate::WarningSink sink = [this](ProtocolEvent e) { raised.push_back(std::move(e)); };
  ControlGate gate;
  static constexpr int64_t kNowMs = 1'700'000'000'000;

  static Message message(std::string content, std::string sender = "alice") {
    Message m;
    m.sender = std::move(sender);
    m.recipient = "bob";
    m.content = std::move(content);
    return m;
  }
};

TEST_F(ControlGateTest, UserTextAndUngatedMarkersPassUnsigned) {
  for (const char* content : {"hello", "__MLS_ENC__{}", "__GROUP_MSG__x"}) {
    ControlAdmission a = gate.authenticate(message(content), TransportType::Ble, {}, kNowMs, sink);
    EXPECT_TRUE(a.admitted) << content;
    EXPECT_FALSE(a.is_signed) << content;
  }
  EXPECT_TRUE(raised.empty());
}

TEST_F(ControlGateTest, AnUnsignedControlFrameIsRefusedAndWarnedOncePerPeer) {
  for (int i = 0; i < 3; ++i) {
    ControlAdmission a =
        gate.authenticate(message("__PRESENCE__{}"), TransportType::Ble, {}, kNowMs, sink);
    EXPECT_FALSE(a.admitted);
  }
  ASSERT_EQ(raised.size(), 1u) << "the warning is throttled per peer and reason";
  const auto* w = raised[0].get_if<event::SecurityWarning>();
  ASSERT_NE(w, nullptr);
  EXPECT_EQ(w->reason_code, SecurityWarningReason::UnsignedControlRejected);
  (void)gate.authenticate(message("__PRESENCE__{}", "carol"), TransportType::Ble, {}, kNowMs, sink);
  EXPECT_EQ(raised.size(), 2u) << "another peer is warned about on its own";
}

TEST_F(ControlGateTest, RelayNoticesPassUnsignedOnlyStraightFromTheRelay) {
  Message notice = message("__GROUP_INFO__{}");
  EXPECT_TRUE(gate.authenticate(notice, TransportType::Internet, {}, kNowMs, sink).admitted);
  EXPECT_FALSE(gate.authenticate(notice, TransportType::Ble, {}, kNowMs, sink).admitted);
  notice.transport_peer_id = "alice";
  EXPECT_FALSE(gate.authenticate(notice, TransportType::Internet, {}, kNowMs, sink).admitted)
      << "a peer-carried copy is not the relay's own notice";
}

TEST_F(ControlGateTest, PlaintextWarningsAreRaisedOncePerSenderUntilTheSetFills) {
  EXPECT_TRUE(gate.first_plaintext_warning("alice"));
  EXPECT_FALSE(gate.first_plaintext_warning("alice"));
  for (size_t i = 1; i < ControlGate::kPlaintextWarnedCapacity; ++i)
    EXPECT_TRUE(gate.first_plaintext_warning("peer" + std::to_string(i)));
  EXPECT_TRUE(gate.first_plaintext_warning("one-more")) << "the full set is emptied";
  EXPECT_TRUE(gate.first_plaintext_warning("alice"));

  EXPECT_TRUE(gate.mark_encryption_capable("alice"));
  EXPECT_TRUE(gate.is_encryption_capable("alice"));
  EXPECT_FALSE(gate.is_encryption_capable("bob"));
}

}  // namespace
}  // namespace brenvik
