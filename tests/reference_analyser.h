// The literal track scan: at every even position, up to 16 one-bit shifts of
// a 1,046-byte window with `shift`, then the window is put back. Slow and
// plain; the fast analyser must agree with it in every output and effect.
#ifndef TESTS_REFERENCE_ANALYSER_H
#define TESTS_REFERENCE_ANALYSER_H

void reference_analyse_track(int drive, int track, int verbose_flag);

#endif
