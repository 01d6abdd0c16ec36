# Hand-counted: which lines run when `counted 3` is called once.
proc counted {n} {
    set total 0
    for {set i 0} {$i < $n} {incr i} {
        incr total $i
    }
    if {$total > 100} {
        return big
    }
    return $total
}

proc unused {} {
    return never
}
proc empty {} {}
set loaded [counted 3]; set also 1
