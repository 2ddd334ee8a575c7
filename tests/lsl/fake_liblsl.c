/* A stand-in for liblsl that the tool must refuse: built once reporting a version older than the
 * oldest supported one, and once without lsl_push_chunk_ftnp. None of these functions is ever
 * called beyond lsl_library_version. */
#include <stddef.h>
#include <stdint.h>

#define EXPORT __attribute__((visibility("default")))
#define STUB(name) \
    EXPORT void* name(void) { return NULL; }

EXPORT int32_t lsl_library_version(void) { return FAKE_LSL_VERSION; }
STUB(lsl_local_clock)
STUB(lsl_last_error)
STUB(lsl_create_streaminfo)
STUB(lsl_destroy_streaminfo)
STUB(lsl_get_desc)
STUB(lsl_append_child)
STUB(lsl_append_child_value)
STUB(lsl_get_name)
STUB(lsl_get_type)
STUB(lsl_get_source_id)
STUB(lsl_get_hostname)
STUB(lsl_get_uid)
STUB(lsl_get_channel_count)
STUB(lsl_get_nominal_srate)
STUB(lsl_get_channel_format)
STUB(lsl_create_outlet)
STUB(lsl_destroy_outlet)
STUB(lsl_have_consumers)
STUB(lsl_get_info)
#ifndef FAKE_LSL_WITHOUT_PUSH_CHUNK
STUB(lsl_push_chunk_ftnp)
#endif
STUB(lsl_push_sample_strtp)
STUB(lsl_resolve_all)
STUB(lsl_create_continuous_resolver_byprop)
STUB(lsl_resolver_results)
STUB(lsl_destroy_continuous_resolver)
