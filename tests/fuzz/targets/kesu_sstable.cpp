// The sorted-table import of Kesu's key/value store, verified and
// unverified, followed by what a store does with an imported table: scans
// both ways, lookups, a write, export, and the re-import of the export,
// which must pass the verified import whatever was imported. The first byte
// picks the import and whether a key is written before the export.
#include "fuzz_target.h"
#include "kesu/kv_store/mem_store.h"

using namespace brenvik;
using namespace kesu;

BRENVIK_FUZZ_TARGET(kesu_sstable) {
  if (input.empty()) return;
  const uint8_t mode = input[0];
  const SharedBytes file = SharedBytes::copy_of(input.subspan(1));
  MemKvStore store;
  auto imported = (mode & 1) ? store.import_all_unverified(file) : store.import_all(file);
  if (!imported.ok()) return;
  size_t forward = 0;
  std::optional<SharedBytes> last_key;
  auto it = store.scan(KeyBound::unbounded(), KeyBound::unbounded());
  while (auto kv = it->next()) {
    if (last_key) fuzz::fuzz_check(compare_bytes(*last_key, kv->key) < 0, "scan is in key order");
    fuzz::fuzz_check(store.get(kv->key).has_value(), "a scanned key is found");
    last_key = kv->key;
    ++forward;
  }
  size_t backward = 0;
  auto back = store.scan(KeyBound::unbounded(), KeyBound::unbounded());
  while (back->next_back()) ++backward;
  fuzz::fuzz_check(forward == backward, "both scan directions see the same entries");
  if (mode & 2)
    store.set(
        SharedBytes::copy_of(ByteView(input.subspan(1, std::min<size_t>(input.size() - 1, 8)))),
        SharedBytes::copy_of(as_bytes(std::string_view("written"))));
  if (mode & 4) {
    auto middle = store.scan(KeyBound::unbounded(), KeyBound::unbounded());
    if (auto kv = middle->next()) store.remove(kv->key);
  }
  const size_t entries = store.len();
  const SharedBytes out = store.export_all();
  MemKvStore again;
  auto r = again.import_all(out);
  fuzz::fuzz_check(r.ok(), "an exported table passes the verified import");
  fuzz::fuzz_check(again.len() == entries, "the export keeps every entry");
}
