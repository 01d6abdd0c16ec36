# tcllib: json, logger, struct::stack and an error that ends the script.
package require json
package require logger
package require struct::stack
set data [json::json2dict {{"dut": "r1", "ports": [1, 2, 3]}}]
puts [dict get $data ports]
set log [logger::init lab]
${log}::setlevel warn
${log}::info "not shown"
struct::stack s
s push a b c
puts [s pop 2]
s destroy
proc check {ports} {
    if {[llength $ports] < 4} {
        error "too few ports: $ports" {} {LAB PORTS}
    }
}
check [dict get $data ports]
puts "not reached"
