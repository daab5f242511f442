#ifndef TESTS_FLUX_FILES_H
#define TESTS_FLUX_FILES_H
#endif
