// The shared library against the interface description: it exports only
// brenvik_ffi symbols (and the two metadata records), every symbol the
// description marks exported is there, every checksum export answers its
// value, and the items still without a body are listed as progress.
#include <dlfcn.h>
#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>
#include <map>
#include <set>
#include <sstream>
#include <string>

namespace {

struct SymbolEntry {
  bool exported = false;
  long checksum = -1;
};

std::map<std::string, SymbolEntry> described_symbols() {
  std::map<std::string, SymbolEntry> out;
  std::ifstream in(BRENVIK_FFI_SYMBOLS_FILE);
  std::string line;
  while (std::getline(in, line)) {
    if (line.empty() || line[0] == '#') continue;
    std::istringstream ls(line);
    std::string name;
    int exported = 0;
    ls >> name >> exported;
    SymbolEntry e;
    e.exported = exported == 1;
    if (!(ls >> e.checksum)) e.checksum = -1;
    out[name] = e;
  }
  return out;
}

std::set<std::string> dynamic_symbols() {
  std::set<std::string> out;
  std::string cmd = std::string("nm -D --defined-only ") + BRENVIK_FFI_SHARED_LIB;
  FILE* p = popen(cmd.c_str(), "r");
  if (!p) return out;
  char buf[512];
  while (fgets(buf, sizeof buf, p)) {
    std::istringstream ls(buf);
    std::string addr, kind, name;
    if (ls >> addr >> kind >> name) out.insert(name);
  }
  pclose(p);
  return out;
}

TEST(ExportedSymbols, OnlyInterfaceSymbolsAndEveryDescribedOne) {
  auto described = described_symbols();
  ASSERT_EQ(described.size(), 521u) << "the interface has 519 functions and two metadata records";
  auto actual = dynamic_symbols();
  ASSERT_FALSE(actual.empty()) << "could not read " << BRENVIK_FFI_SHARED_LIB;

  for (const auto& name : actual) {
    auto it = described.find(name);
    EXPECT_TRUE(it != described.end()) << "exported but not in the description: " << name;
    if (it != described.end()) {
      EXPECT_TRUE(it->second.exported) << "exported before its body was declared: " << name;
    }
  }
  std::vector<std::string> missing;
  for (const auto& [name, e] : described) {
    if (e.exported) {
      EXPECT_TRUE(actual.count(name)) << "described as exported but missing: " << name;
    } else {
      missing.push_back(name);
    }
  }
  // Progress, not failure: the items whose bodies do not exist yet.
  std::printf("%zu of %zu interface symbols exported; still without a body (%zu):\n", actual.size(),
              described.size(), missing.size());
  for (const auto& m : missing) std::printf("  %s\n", m.c_str());
}

// The values hosts already hold; they must never change.
TEST(ExportedSymbols, GivenChecksumValues) {
  const std::map<std::string, int> given = {
      {"brenvik_ffi_checksum_constructor_brenvikprotocol_new", 30125},
      {"brenvik_ffi_checksum_constructor_datastore_new", 36671},
      {"brenvik_ffi_checksum_constructor_datastore_with_storage", 2283},
      {"brenvik_ffi_checksum_constructor_meshservices_new", 61363},
      {"brenvik_ffi_checksum_func_derive_address", 55050},
      {"brenvik_ffi_checksum_func_parse_invite", 15865},
      {"brenvik_ffi_checksum_func_run_storage_conformance", 20699},
      {"brenvik_ffi_checksum_func_verify_identity_assertion", 63230},
      {"brenvik_ffi_checksum_method_eventcallback_on_event", 4769},
      {"brenvik_ffi_checksum_method_bletransportcallback_on_fragments_available", 11079},
      {"brenvik_ffi_checksum_method_nostrtransportcallback_on_messages_available", 5919},
      {"brenvik_ffi_checksum_method_reticulumtransportcallback_on_messages_available", 48810},
      {"brenvik_ffi_checksum_method_wifidirecttransportcallback_on_messages_available", 4635},
      {"brenvik_ffi_checksum_method_mlsstorageprovider_store", 4704},
      {"brenvik_ffi_checksum_method_mlsstorageprovider_load", 41626},
      {"brenvik_ffi_checksum_method_mlsstorageprovider_delete", 64734},
      {"brenvik_ffi_checksum_method_mlsstorageprovider_list_keys", 24837},
      {"brenvik_ffi_checksum_method_protocolstatestorageprovider_store", 46080},
      {"brenvik_ffi_checksum_method_protocolstatestorageprovider_load", 11563},
      {"brenvik_ffi_checksum_method_protocolstatestorageprovider_delete", 43686},
      {"brenvik_ffi_checksum_method_protocolstatestorageprovider_list_keys", 44296},
      {"brenvik_ffi_checksum_method_brenvikprotocol_send_message", 52559},
      {"brenvik_ffi_checksum_method_brenvikprotocol_start", 10699},
      {"brenvik_ffi_checksum_method_brenvikprotocol_process", 16160},
      {"brenvik_ffi_checksum_method_brenvikprotocol_flush_telemetry", 21794},
      {"brenvik_ffi_checksum_method_brenvikprotocol_get_identity_public_key", 21794},
      {"brenvik_ffi_checksum_method_brenvikprotocol_nostr_get_public_key", 55139},
      {"brenvik_ffi_checksum_method_brenvikprotocol_send_message_rich", 55139},
  };
  void* lib = dlopen(BRENVIK_FFI_SHARED_LIB, RTLD_NOW | RTLD_LOCAL);
  ASSERT_NE(lib, nullptr) << dlerror();
  for (const auto& [name, value] : given) {
    auto fn = reinterpret_cast<uint16_t (*)()>(dlsym(lib, name.c_str()));
    ASSERT_NE(fn, nullptr) << name;
    EXPECT_EQ(fn(), value) << name;
  }
  dlclose(lib);
}

TEST(ExportedSymbols, EveryChecksumAndTheContractVersionAnswer) {
  auto described = described_symbols();
  void* lib = dlopen(BRENVIK_FFI_SHARED_LIB, RTLD_NOW | RTLD_LOCAL);
  ASSERT_NE(lib, nullptr) << dlerror();
  size_t checksums = 0;
  std::set<void*> functions;
  for (const auto& [name, e] : described) {
    if (e.checksum < 0) continue;
    ++checksums;
    auto fn = reinterpret_cast<uint16_t (*)()>(dlsym(lib, name.c_str()));
    ASSERT_NE(fn, nullptr) << name;
    EXPECT_EQ(fn(), e.checksum) << name;
    EXPECT_EQ(fn(), e.checksum) << name << " (second call)";
    functions.insert(reinterpret_cast<void*>(fn));
  }
  EXPECT_EQ(checksums, 233u);
  EXPECT_EQ(functions.size(), 231u) << "the two pairs with equal values share one function each";
  auto version = reinterpret_cast<uint32_t (*)()>(dlsym(lib, "brenvik_ffi_contract_version"));
  ASSERT_NE(version, nullptr);
  EXPECT_EQ(version(), 30u);
  auto meta =
      static_cast<const uint8_t*>(dlsym(lib, "BRENVIK_FFI_META_NAMESPACE_BRENVIK_PROTOCOL"));
  ASSERT_NE(meta, nullptr);
  EXPECT_EQ(meta[0], 6);
  EXPECT_EQ(std::string(reinterpret_cast<const char*>(meta + 2), meta[1]),
            "brenvik_protocol_bindings");
  dlclose(lib);
}

}  // namespace
