// Declarations of the generated Probe export wrappers (test-only).
#pragma once

#include "brenvik_ffi.h"

extern "C" {
uint32_t brenvik_ffi_fn_method_probe_take_bool(uint64_t, int8_t, BrenvikFfiCallStatus*);
uint32_t brenvik_ffi_fn_method_probe_take_priority(uint64_t, BrenvikFfiByteBuffer,
                                                   BrenvikFfiCallStatus*);
uint32_t brenvik_ffi_fn_method_probe_take_opt_string(uint64_t, BrenvikFfiByteBuffer,
                                                     BrenvikFfiCallStatus*);
uint32_t brenvik_ffi_fn_method_probe_take_opt_priority(uint64_t, BrenvikFfiByteBuffer,
                                                       BrenvikFfiCallStatus*);
uint32_t brenvik_ffi_fn_method_probe_take_strings(uint64_t, BrenvikFfiByteBuffer,
                                                  BrenvikFfiCallStatus*);
uint32_t brenvik_ffi_fn_method_probe_take_map(uint64_t, BrenvikFfiByteBuffer,
                                              BrenvikFfiCallStatus*);
uint32_t brenvik_ffi_fn_method_probe_take_rich_options(uint64_t, BrenvikFfiByteBuffer,
                                                       BrenvikFfiCallStatus*);
uint32_t brenvik_ffi_fn_method_probe_take_metrics(uint64_t, BrenvikFfiByteBuffer,
                                                  BrenvikFfiByteBuffer, BrenvikFfiCallStatus*);
uint32_t brenvik_ffi_fn_method_probe_take_bytes(uint64_t, BrenvikFfiByteBuffer,
                                                BrenvikFfiCallStatus*);
uint32_t brenvik_ffi_fn_method_probe_take_text(uint64_t, BrenvikFfiByteBuffer,
                                               BrenvikFfiCallStatus*);
uint32_t brenvik_ffi_fn_method_probe_take_protocol(uint64_t, uint64_t, BrenvikFfiCallStatus*);
uint32_t brenvik_ffi_fn_method_probe_take_event_callback(uint64_t, uint64_t, BrenvikFfiCallStatus*);
BrenvikFfiByteBuffer brenvik_ffi_fn_method_probe_echo(uint64_t, BrenvikFfiByteBuffer,
                                                      BrenvikFfiByteBuffer, BrenvikFfiByteBuffer,
                                                      BrenvikFfiCallStatus*);
BrenvikFfiByteBuffer brenvik_ffi_fn_method_probe_echo_bytes(uint64_t, BrenvikFfiByteBuffer,
                                                            BrenvikFfiCallStatus*);
BrenvikFfiByteBuffer brenvik_ffi_fn_method_probe_fail(uint64_t, uint32_t, BrenvikFfiCallStatus*);
}
