# sqlite: a database in memory, statements with bound variables, row arrays.
package require sqlite3
sqlite3 db :memory:
db eval {CREATE TABLE dut(name TEXT PRIMARY KEY, ports INTEGER)}
foreach {name ports} {r1 24 r2 48 sw1 8} {
    db eval {INSERT INTO dut VALUES($name, $ports)}
}
db eval {SELECT name, ports FROM dut ORDER BY ports DESC} row {
    puts "$row(name) $row(ports)"
}
puts [db onecolumn {SELECT sum(ports) FROM dut}]
puts [catch {db eval {INSERT INTO dut VALUES('r1', 1)}} msg]:$msg
db transaction {db eval {UPDATE dut SET ports = ports + 1}}
puts [db eval {SELECT ports FROM dut ORDER BY name}]
db close
