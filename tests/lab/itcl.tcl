# Itcl: classes, inheritance, constructors and destructors, bodies defined later.
package require itcl
itcl::class Counter {
    public variable step 1
    private variable value 0
    common made 0
    constructor {args} {
        incr made
        eval configure $args
    }
    destructor {
        puts "destroying [namespace tail $this] at $value"
    }
    method add {} {
        set value [expr {$value + $step}]
    }
    method get {}
    proc made {} { return $made }
}
itcl::body Counter::get {} { return $value }
itcl::class Tally {
    inherit Counter
    method add {} {
        chain
        chain
    }
}
Counter c -step 5
c add; c add
puts "c: [c get] step [c cget -step]"
Tally t
t add
puts "t: [t get], made [Counter::made]"
puts "isa: [t isa Counter] [itcl::find objects -class Counter]"
itcl::delete object c
puts "error: [catch {t nosuch} msg] [lindex [split $msg \n] 0]"
itcl::delete object t
