# TclOO: classes, mixins, filters, introspection.
oo::class create Account {
    variable balance
    constructor {{initial 0}} { set balance $initial }
    method deposit {amount} { incr balance $amount; return $balance }
    method balance {} { return $balance }
}
oo::class create Logged {
    method deposit {amount} { puts "deposit $amount"; next $amount }
}
Account create acct 10
oo::objdefine acct mixin Logged
puts [acct deposit 5]
puts [info object class acct]
puts [lsort [info class methods Account]]
puts [catch {acct withdraw 1} msg]:$msg
acct destroy
puts [info commands acct]
