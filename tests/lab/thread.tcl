# Thread: workers, synchronous and asynchronous sends, shared variables, a pool.
package require Thread
set t [thread::create {proc double {x} {expr {$x * 2}}; thread::wait}]
puts "sync: [thread::send $t {double 21}]"
thread::send -async $t {double 50} ::answer
vwait ::answer
puts "async: $::answer"
puts "error caught: [catch {thread::send $t {error oops}} msg] $msg"
tsv::set shared count 0
set workers {}
for {set i 0} {$i < 3} {incr i} {
    lappend workers [thread::create {thread::wait}]
}
foreach w $workers {
    thread::send $w {tsv::incr shared count 2}
}
puts "tsv: [tsv::get shared count]"
set pool [tpool::create -minworkers 2 -maxworkers 2 -initcmd {proc sq {x} {expr {$x * $x}}}]
set jobs {}
foreach n {3 4 5} {lappend jobs [tpool::post $pool [list sq $n]]}
set done {}
while {[llength $jobs]} {
    tpool::wait $pool $jobs jobs
}
foreach n {3 4 5} {lappend done [tpool::post $pool [list sq $n]]}
set results {}
foreach j $done {tpool::wait $pool $j; lappend results [tpool::get $pool $j]}
puts "pool: $results"
tpool::release $pool
foreach w [linsert $workers 0 $t] {thread::release $w}
puts "done"
