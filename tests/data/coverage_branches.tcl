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
