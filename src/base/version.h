// Ordering of the controller's dotted firmware version texts.
#pragma once

// Compares two dotted version texts component by component, numerically:
// "1.10.0" is after "1.3.0" and "01.3" equals "1.3". A missing component
// counts as 0 ("1.3" equals "1.3.0"), and so do missing digits ("1.x" is
// "1.0x"). Within a component the numbers are compared first; a non-numeric
// rest sorts after the bare number and rests are compared byte-wise ("1.3.0a"
// is after "1.3.0"). Anything before the first digit is a prefix and is left
// out ("V1.5.0" is 1.5.0). Returns a negative number, 0 or a positive number,
// like strcmp. A null text sorts before any text.
int version_compare(const char *a, const char *b);

// Whether a version text holds a number at all (a digit somewhere): "V1.5.0"
// does, "unknown" and "" do not.
bool version_has_number(const char *text);
