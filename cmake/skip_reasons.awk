# awk -v record=FILE -f skip_reasons.awk: each test that ctest skipped, once, with the reason that
# its output gave in FILE, ctest's record of the run (outputs only, not the commands before them).
BEGIN {
    while ((getline < record) > 0) {
        if (/^[0-9]+\/[0-9]+ Test: /) test = $3
        output = /^Output:$/ ? 1 : /^<end of output>$/ ? 0 : output
        reason = !output ? "" : gtest ? $0 : /skipped: / ? substr($0, index($0, "skipped: ") + 9) : ""
        if (reason != "" && !listed++) print "Skipped, and why:"
        if (reason != "" && !seen[test, reason]++) print "  " test ": " reason
        gtest = /: Skipped$/  # GoogleTest gives the reason on the next line
    }
}
