// The in-memory key/value store behind the fake vault.
#ifndef KELMCAT_MATCH_FAKE_STORE_H
#define KELMCAT_MATCH_FAKE_STORE_H

// Frees every entry and sets the three store counters to 0.
void kel_fake_store_clear(void);

#endif
