# Hand-counted branches: if/elseif with its implicit else (line 3), a switch
# with a fall-through and its implicit default (line 8), an explicit default
# (line 13), and a one-line if whose arms share its line (no arcs to tell).
proc pick {x} {
    if {$x > 10} {
        set r big
    } elseif {$x > 5} {
        set r mid
    }
    switch -- $x {
        1 { set s one }
        2 -
        3 { set s few }
    }
    switch $x 7 {
        set s seven
    } default {
        set s other
    }
    if {$x} {set a 1} else {set a 2}
    return $x
}
# Hand-counted loops (lines 26, 29, 32): their body ran, or a run of them never
# ran it; a loop left by break still ends, one left by return does not.
proc loops {n} {
    set t 0
    foreach x [lrange {1 2 3} 0 [expr {$n - 1}]] {
        incr t $x
    }
    for {set i 0} {$i < $n} {incr i} {
        if {$i == 1} break
    }
    while {$t > 100} {
        return big
    }
    return $t
}
proc rec {n} {
    foreach x [lrange {a b} 0 [expr {$n - 1}]] {
        if {$n > 1} { rec 0 }
    }
}
