// The charge-inhibit switch. Two key families pause charging: "CHTE" (4 bytes) where the
// machine has it, else the pair "CH0B" and "CH0C" (1 byte each). The family is probed
// anew by every call.
#pragma once

// True when the SMC knows "CHTE", which then decides the family.
bool smc_has_chte();

// Reads whether charging is inhibited into `state`. 0 on success; -1 when the state key
// cannot be read or returns no bytes.
int get_charging_inhibited(bool *state);

// As get_charging_inhibited, and names in `key` the key the state is read from, "CHTE" or
// "CH0B", whatever the outcome, without another exchange with the SMC; null when AppleSMC
// cannot be opened, so that no key was asked.
int read_charging_state(bool *state, const char **key);

// Pauses (`inhibit` nonzero) or allows charging. 0 on success; -1 when a key could not be
// written. On the pair both keys are written even when the first fails; nothing is
// rolled back.
int set_charging_inhibited(int inhibit);
