# awk -v maintainer="NAME <ADDRESS>" -f news_to_changelog.awk NEWS.md: the release notes in Debian's
# changelog format: a "## VERSION (DATE TIME UTC)" heading starts an entry, "- " an item, and an
# indented line goes on with it; the rest is left out.
function close_entry() {
    if (version != "") printf "\n -- %s  %s\n", maintainer, date
}
/^## / {
    close_entry()
    if (version != "") print ""
    version = $2
    when = $0
    sub(/^[^(]*\(/, "", when)
    sub(/\).*$/, "", when)
    command = "LC_ALL=C date -u -d '" when "' '+%a, %d %b %Y %H:%M:%S +0000'"
    command | getline date
    close(command)
    printf "login-history (%s) unstable; urgency=medium\n\n", version
    next
}
version == "" { next }
/^- / { sub(/^- /, ""); print "  * " $0; next }
/^  +[^ ]/ { sub(/^ +/, ""); print "    " $0; next }
END { close_entry() }
