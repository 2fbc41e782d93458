// Included first in every file of the modules (binding.gyp: -include), so that
// a build on a new glibc still loads on glibc 2.28 (Debian 10, RHEL 8): glibc
// 2.34 moved the thread and dynamic-loading calls from libpthread and libdl
// into libc under a new symbol version, and a link binds each call to the
// newest version it finds. Each call below is bound to its original x86-64
// version instead, which every glibc since still provides, under the same
// contract.
#ifndef NONCESIEVE_GLIBC_FLOOR_H
#define NONCESIEVE_GLIBC_FLOOR_H

#include <features.h>

#if defined(__GLIBC__) && defined(__x86_64__)

#define NONCESIEVE_OLD_VERSION(name) __asm__(".symver " #name "," #name "@GLIBC_2.2.5");

NONCESIEVE_OLD_VERSION(dlopen)
NONCESIEVE_OLD_VERSION(dlsym)
NONCESIEVE_OLD_VERSION(dlvsym)
NONCESIEVE_OLD_VERSION(dlclose)
NONCESIEVE_OLD_VERSION(dlerror)
NONCESIEVE_OLD_VERSION(dladdr)
NONCESIEVE_OLD_VERSION(pthread_create)
NONCESIEVE_OLD_VERSION(pthread_join)
NONCESIEVE_OLD_VERSION(pthread_detach)
NONCESIEVE_OLD_VERSION(pthread_once)
NONCESIEVE_OLD_VERSION(pthread_kill)
NONCESIEVE_OLD_VERSION(pthread_sigmask)
NONCESIEVE_OLD_VERSION(pthread_key_create)
NONCESIEVE_OLD_VERSION(pthread_key_delete)
NONCESIEVE_OLD_VERSION(pthread_getspecific)
NONCESIEVE_OLD_VERSION(pthread_setspecific)
NONCESIEVE_OLD_VERSION(pthread_mutex_trylock)
NONCESIEVE_OLD_VERSION(pthread_mutexattr_init)
NONCESIEVE_OLD_VERSION(pthread_mutexattr_settype)
NONCESIEVE_OLD_VERSION(pthread_mutexattr_destroy)
NONCESIEVE_OLD_VERSION(pthread_rwlock_init)
NONCESIEVE_OLD_VERSION(pthread_rwlock_destroy)
NONCESIEVE_OLD_VERSION(pthread_rwlock_rdlock)
NONCESIEVE_OLD_VERSION(pthread_rwlock_tryrdlock)
NONCESIEVE_OLD_VERSION(pthread_rwlock_timedrdlock)
NONCESIEVE_OLD_VERSION(pthread_rwlock_wrlock)
NONCESIEVE_OLD_VERSION(pthread_rwlock_trywrlock)
NONCESIEVE_OLD_VERSION(pthread_rwlock_timedwrlock)
NONCESIEVE_OLD_VERSION(pthread_rwlock_unlock)
NONCESIEVE_OLD_VERSION(sem_init)
NONCESIEVE_OLD_VERSION(sem_destroy)
NONCESIEVE_OLD_VERSION(sem_wait)
NONCESIEVE_OLD_VERSION(sem_trywait)
NONCESIEVE_OLD_VERSION(sem_timedwait)
NONCESIEVE_OLD_VERSION(sem_post)

#undef NONCESIEVE_OLD_VERSION

#endif
#endif
