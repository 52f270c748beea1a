#pragma once

// Ends the run with a message when a property does not hold; libFuzzer then keeps the input.
void fuzzCheck(bool holds, const char *property);
