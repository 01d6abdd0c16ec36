# udp: a datagram from one loopback socket to another, received by the event loop.
package require udp
set rx [udp_open]
fconfigure $rx -translation binary
set port [udp_conf $rx -myport]
set tx [udp_open]
udp_conf $tx 127.0.0.1 $port
fileevent $rx readable {set ::got [read $rx]}
puts -nonewline $tx "ping 1"
flush $tx
vwait ::got
puts "got: $::got"
close $tx
close $rx
