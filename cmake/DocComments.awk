# Shows the public headers' plain comments to Doxygen as its own. A comment in a class documents
# the declarations right below it, up to a blank line, the next comment or the end of the class:
# they become one member group, so that a getter shares its setter's comment. A comment after a
# declaration on its line documents that declaration alone.
function close_group() {
    if (grouped) print "///@}"
    grouped = 0
}
/^[[:space:]]*\/\/([^\/]|$)/ {
    if (!commenting && depth == group_depth) close_group()
    sub(/\/\//, "///")
    gsub(/</, "\\<")  # text, never an HTML tag
    pending = commenting ? pending "\n" $0 : $0
    commenting = 1
    next
}
{
    line = $0
    if (match(line, /[;,{][[:space:]]+\/\//)) {
        text = substr(line, RSTART + RLENGTH)
        gsub(/</, "\\<", text)
        line = substr(line, 1, RSTART + RLENGTH - 1) "/<" text
    }
    opened = gsub(/\{/, "{", line)
    closed = gsub(/\}/, "}", line)
    if (commenting) {
        # A member that opens a body of its own (a nested type) is documented without a group.
        if (pending ~ /^[[:space:]]+\/\/\// && !grouped && opened <= closed) {
            print "///@{"
            grouped = 1
            group_depth = depth
        }
        print pending
        commenting = 0
    } else if (depth == group_depth && line ~ /^[[:space:]]*($|(public|protected|private):)/) {
        close_group()
    }
    depth += opened - closed
    if (depth < group_depth) close_group()
    print line
}
END {
    if (commenting) print pending
    close_group()
}
