// The simulated Mac: the libdispatch subset the program uses, declared as on macOS in
// plain C++ (dispatch objects are struct pointers with inheritance; no blocks).
#pragma once

#include <cstdint>

struct dispatch_object_s {};
struct dispatch_queue_s : dispatch_object_s {};
struct dispatch_source_s : dispatch_object_s {};

extern "C" {

typedef struct dispatch_object_s *dispatch_object_t;
typedef struct dispatch_queue_s *dispatch_queue_t;
typedef struct dispatch_queue_s *dispatch_queue_main_t;
typedef struct dispatch_source_s *dispatch_source_t;
typedef const struct dispatch_source_type_s *dispatch_source_type_t;
typedef void (*dispatch_function_t)(void *);

extern const struct dispatch_source_type_s _dispatch_source_type_signal;
#define DISPATCH_SOURCE_TYPE_SIGNAL (&_dispatch_source_type_signal)

extern struct dispatch_queue_s _dispatch_main_q;
static inline dispatch_queue_main_t dispatch_get_main_queue(void)
{
	return &_dispatch_main_q;
}

dispatch_source_t dispatch_source_create(dispatch_source_type_t type, uintptr_t handle,
                                         uintptr_t mask, dispatch_queue_t queue) noexcept;
void dispatch_source_set_event_handler_f(dispatch_source_t source,
                                         dispatch_function_t handler) noexcept;
void dispatch_set_context(dispatch_object_t object, void *context) noexcept;
void *dispatch_get_context(dispatch_object_t object) noexcept;
void dispatch_resume(dispatch_object_t object) noexcept;
uintptr_t dispatch_source_get_data(dispatch_source_t source) noexcept;

} // extern "C"
