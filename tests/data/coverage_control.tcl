# proc fake {} { this comment looks like code }
proc ctl {x} {
    set r {}
    if {$x > 0} {
        lappend r pos
    } elseif {$x < 0} {
        lappend r neg
    } else {
        lappend r zero
    }
    for {set i 0} {$i < 2} {incr i} {
        lappend r i$i
    }
    foreach y {a b} { lappend r $y }
    set k 0; while {$k < 1} {
        incr k
    }
    switch -- $x {
        1 {
            lappend r one
        }
        default {
            lappend r other
        }
    }
    switch $x 1 {
        lappend r one2
    } 2 {
        lappend r two2
    }
    catch {
        error oops
    }
    try {
        lappend r t
    } on error {m} {
        lappend r never
    } finally {
        lappend r fin
    }
    dict for {a b} {p q} {
        lappend r $a
    }
    lmap z {1 2} {
        expr {$z * 2}
    }
    time {
        incr k
    } 2
    eval {
        lappend r ev
    }
    set long [list a \
        b c]
    namespace eval ::ctlns {
        variable v 1
    }
    return $r
}
namespace eval ::ctlns {
    proc inner {} {
        # set never 1
        return in
    }
}
oo::class create Counter {
    constructor {} {
        set ::made 1
    }
    method bump {} {
        return 1
    }
}
