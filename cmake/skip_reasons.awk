# awk -v record=FILE -f skip_reasons.awk: the tests that ctest skipped, each
# with the reason its output gave, from FILE, ctest's record of the run.
# Nothing when the record is missing.
function skipped(reason) {
    if (!listed++) print "Skipped, and why:"
    print "  " test ": " reason
}
BEGIN {
    while ((getline < record) > 0) {
        if (/^[0-9]+\/[0-9]+ Test: /) test = $3
        if (gtest_reason) skipped($0)
        gtest_reason = /: Skipped$/  # GoogleTest gives the reason on the next line
        if (/^(package_test: )?skipped: /) { sub(/^.*skipped: /, ""); skipped($0) }
    }
}
