# A spawn/send/expect dialogue with bash, cat and an interactive Python.
package require Expect
set timeout 10
set env(PS1) {lab$ }
set env(TERM) dumb

spawn -noecho bash --norc --noprofile
expect {lab$ }
send "echo \$((6 * 7))\r"
expect -re {\n(\d+)\r\nlab\$ }
puts "\nbash said $expect_out(1,string)"
send "exit 3\r"
expect eof
puts "bash exit: [lindex [wait] end]"

log_user 0
spawn -noecho cat
send "one two\r"
expect -re {two\r\n}
set got $expect_out(buffer)
puts "cat echoed [string length $got] chars: [string map {\r \\r \n \\n} $got]"
close
wait

spawn -noecho python3 -q -u -i
expect ">>> "
send "print(sum(range(10)))\r"
expect -re {(\d+)\r\n>>> }
puts "python said $expect_out(1,string)"
send "exit()\r"
expect eof
puts "python exit: [lindex [wait] end]"
