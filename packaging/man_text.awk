# awk -v part=summary|description -f man_text.awk login-history.1.in: for the packages, the NAME
# line's summary, or the DESCRIPTION's paragraphs up to the comment that ends them there, as plain
# text wrapped at 72 columns. Font macros give their words, the alternating ones without blanks.
function flush() {
    if (line != "") print line
    line = ""
}
function add(word) {
    if (line != "" && length(line) + 1 + length(word) > 72) flush()
    line = line == "" ? word : line " " word
}
/^\.SH / { section = $2; next }
part == "summary" && section == "NAME" {
    sub(/^[^ ]+ \\- /, "")
    print
    exit
}
part == "description" && section == "DESCRIPTION" {
    if (/^\.\\" The packages' description ends here/) exit
    if (/^\.PP/) { flush(); print ""; next }
    gsub(/\\-/, "-")
    if (/^\.(BR|IR|RB|RI|BI|IB) /) { $1 = ""; gsub(/ /, ""); add($0); next }
    if (/^\.[BI] /) sub(/^\.[BI] /, "")
    for (i = 1; i <= NF; i++) add($i)
}
END { flush() }
