# tdom: parse XML, query it with XPath, build and serialise a document.
package require tdom
set doc [dom parse {<lab><dut name="r1" port="22"/><dut name="r2" port="2222"/></lab>}]
set root [$doc documentElement]
foreach node [$root selectNodes {//dut[@port > 100]}] {
    puts "[$node getAttribute name] [$node getAttribute port]"
}
puts [$root selectNodes {count(//dut)}]
set out [dom createDocument result]
[$out documentElement] appendChild [$out createTextNode "ok & done"]
puts [$out asXML -indent none]
$doc delete
$out delete
