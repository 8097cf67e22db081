// Faults raised the way the system delivers them, for the fatal-error probe.
#pragma once

void trigger_access_violation();
void trigger_illegal_instruction();
void trigger_divide_by_zero();
// A bus error where the system has one; elsewhere an access violation.
void trigger_bus_error();
