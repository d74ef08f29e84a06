# Compares two printouts of tests/windows/host.c line by line: labels, codes, counts and flags
# (every token that is not a number written with an exponent) must be identical; the values,
# written as %.9e, must agree within a relative 1e-6 (two C run-times may round exp and log
# differently in the last bit). Usage: awk -f compare_printouts.awk EXPECTED ACTUAL
# Prints the number of values compared and the largest relative difference; exits 1 on any
# mismatch.

function normal(token) {
    if (token ~ /^[-+]?[0-9.#]*[Nn][Aa][Nn]/ || token ~ /#(Q|S)NAN|#IND/) return "nan"
    if (token ~ /^-([0-9.#]*)?[Ii][Nn][Ff]/) return "-inf"
    if (token ~ /^\+?([0-9.#]*)?[Ii][Nn][Ff]/) return "inf"
    return token
}

function is_float(token) { return token ~ /^[-+]?[0-9]+\.[0-9]+[eE][-+]?[0-9]+$/ }

function report(message) {
    if (++mismatches <= 20) printf "line %d: %s\n", line, message
}

BEGIN {
    if (ARGC != 3) { print "usage: awk -f compare_printouts.awk EXPECTED ACTUAL"; exit 2 }
    expected_file = ARGV[1]; actual_file = ARGV[2]
    tolerance = 1e-6
    while (1) {
        got_expected = (getline expected < expected_file) > 0
        got_actual = (getline actual < actual_file) > 0
        if (!got_expected && !got_actual) break
        ++line
        if (got_expected != got_actual) { report("one printout ends before the other"); break }
        sub(/\r$/, "", expected); sub(/\r$/, "", actual)
        n = split(expected, want, " "); m = split(actual, have, " ")
        if (n != m) { report("different number of items: " expected " | " actual); continue }
        for (i = 1; i <= n; ++i) {
            a = normal(want[i]); b = normal(have[i])
            if (is_float(a) && is_float(b)) {
                x = a + 0; y = b + 0
                difference = x - y; if (difference < 0) difference = -difference
                scale = x < 0 ? -x : x; if ((y < 0 ? -y : y) > scale) scale = y < 0 ? -y : y
                relative = scale > 0 ? difference / scale : 0
                if (relative > largest) largest = relative
                ++values
                if (relative > tolerance) report("item " i " differs: " a " | " b)
            } else if (a != b) {
                report("item " i " differs: " a " | " b)
            }
        }
    }
    printf "%d lines, %d values compared, largest relative difference %.3g, %d mismatches\n",
        line, values, largest, mismatches
    exit mismatches > 0 ? 1 : 0
}
