# Hand-counted Itcl: which lines and members run; see tests/test_coverage.py.
itcl::class Shape {
    public variable name "shape" {
        set ::configured $name
    }
    common count [expr {0}]
    constructor {args} {
        incr count
        eval configure $args
    }
    destructor {
        incr count -1
    }
    method area {} {
        return 0
    }
    method describe {} {
        return "$name: [area]"
    }
    proc total {} {
        return $count
    }
    protected method hidden {}
    private {
        method secret {} {
            return s
        }
    }
}
itcl::body Shape::hidden {} {
    return h
}
itcl::class Square {
    inherit Shape
    public variable side 1
    constructor {s} {
        Shape::constructor -name square
    } {
        set side $s
    }
    method area {} {
        return [expr {$side * $side}]
    }
}
itcl::configbody Square::side {
    if {$side < 0} {
        error "negative side"
    }
}
itcl::class Unused {
    method never {} {
        return never
    }
    proc alsoNever {} {
        set x 1
        return $x
    }
}
set square [Square #auto 3]
set described [$square describe]
