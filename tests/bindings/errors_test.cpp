// InterfaceError: numbers, display texts and the lowered form.
#include <gtest/gtest.h>

#include "bindings/codec.h"
#include "bindings/errors.h"

namespace brenvik::ffi {
namespace {
using K = InterfaceError::Kind;

InterfaceError msg(K k) {
  return InterfaceError::with_message(k, "m");
}

TEST(InterfaceErrors, EveryVariantHasItsNumberAndText) {
  struct Case {
    InterfaceError e;
    int32_t number;
    std::string text;
  };
  const std::vector<Case> cases = {
      {InterfaceError::not_started(), 1, "Protocol not started"},
      {InterfaceError::already_started(), 2, "Protocol already started"},
      {msg(K::InvalidConfig), 3, "Invalid configuration: m"},
      {msg(K::SendFailed), 4, "Failed to send message: m"},
      {msg(K::NoKeyPackage), 5, "No key package available for recipient: m"},
      {InterfaceError::session_not_ready(SessionEstablishmentState::SessionPending), 6,
       "Session not ready: SessionPending"},
      {msg(K::EncryptionFailed), 7, "Failed to encrypt message: m"},
      {msg(K::InvalidState), 8, "Invalid state: m"},
      {InterfaceError::mls_not_initialized(), 9, "MLS not initialized"},
      {msg(K::Mls), 10, "MLS error: m"},
      {msg(K::UserBlocked), 11, "User is blocked: m"},
      {msg(K::MediaTransferLimit), 12,
       "Too many concurrent media transfers to m; retry after an active transfer completes"},
      {msg(K::LockPoisoned), 13, "Internal lock poisoned: m"},
      {msg(K::Other), 14, "m"},
      {msg(K::Transport), 15, "Transport error: m"},
      {msg(K::Serialization), 16, "Serialization error: m"},
      {msg(K::Service), 17, "Service error: m"},
      {msg(K::GroupNotFound), 18, "Group not found: m"},
      {msg(K::PermissionDenied), 19, "Permission denied: m"},
      {msg(K::InvalidArgument), 20, "Invalid argument: m"},
      {InterfaceError::data_layer_disabled(), 21, "Data layer is disabled"},
      {InterfaceError::data_layer_no_storage(), 22,
       "Data layer has no storage; initializeMls must run first"},
      {msg(K::DocTooLarge), 23, "Document is over the size cap: m"},
      {msg(K::DataCorrupt), 24, "Document data is corrupt: m"},
      {msg(K::TelemetryConfig), 25, "telemetry config invalid: m"},
  };
  ASSERT_EQ(cases.size(), 25u);
  for (const auto& c : cases) {
    EXPECT_EQ(c.e.number(), c.number) << c.text;
    EXPECT_EQ(c.e.display(), c.text);
    // Lowered: the number, then the whole text as a string.
    Bytes lowered = lower_interface_error(c.e);
    Reader r(lowered);
    EXPECT_EQ(*Codec<int32_t>::read(r), c.number);
    EXPECT_EQ(*Codec<std::string>::read(r), c.text);
    EXPECT_EQ(r.remaining(), 0u);
  }
}

TEST(InterfaceErrors, LoweringWritesNumberThenText) {
  Bytes lowered = lower_interface_error(InterfaceError::not_started());
  Bytes expected = {0, 0, 0, 1, 0, 0, 0, 20};
  append(expected, as_bytes("Protocol not started"));
  EXPECT_EQ(lowered, expected);
  EXPECT_EQ(lowered.size(), 28u);

  Bytes lock =
      lower_interface_error(InterfaceError::with_message(K::LockPoisoned, "inner: poisoned"));
  Reader r(lock);
  EXPECT_EQ(*Codec<int32_t>::read(r), 13);
  EXPECT_EQ(*Codec<std::string>::read(r), "Internal lock poisoned: inner: poisoned");
  EXPECT_EQ(r.remaining(), 0u);
}

TEST(InterfaceErrors, PayloadFreeVariantsRefuseAMessage) {
  EXPECT_THROW(InterfaceError::with_message(K::NotStarted, "x"), std::logic_error);
  EXPECT_THROW(InterfaceError::with_message(K::SessionNotReady, "x"), std::logic_error);
}

}  // namespace
}  // namespace brenvik::ffi
