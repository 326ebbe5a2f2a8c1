// The few Mach kernel types the platform layer names.
#pragma once

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

typedef int kern_return_t;
typedef unsigned int mach_port_t;
typedef mach_port_t task_port_t;

#define KERN_SUCCESS 0
#define KERN_FAILURE 5

// The current task's port; a constant token on Linux.
extern mach_port_t mach_task_self_;
#define mach_task_self() mach_task_self_

#ifdef __cplusplus
}
#endif
