# An event-loop socket pair on the loopback: a line server and its client.
proc accept {chan addr port} {
    fconfigure $chan -buffering line
    fileevent $chan readable [list serve $chan]
}
proc serve {chan} {
    if {[gets $chan line] < 0} {
        close $chan
        return
    }
    puts $chan [string toupper $line]
}
set server [socket -server accept -myaddr 127.0.0.1 0]
set port [lindex [fconfigure $server -sockname] 2]
set client [socket 127.0.0.1 $port]
fconfigure $client -buffering line
fileevent $client readable {
    if {[gets $client reply] >= 0} {lappend ::replies $reply}
    if {[llength $::replies] == 2} {set ::done 1}
}
set ::replies {}
puts $client hello
puts $client "lab bench"
vwait ::done
puts $::replies
close $client
close $server
