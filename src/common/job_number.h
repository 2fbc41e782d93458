// Jobs are numbered so that a scan can say which job's block it must run on.
#ifndef NONCESIEVE_JOB_NUMBER_H
#define NONCESIEVE_JOB_NUMBER_H

#include <cstdint>

// A number no job in this process has had yet (never 0).
uint64_t next_job_number();

#endif
