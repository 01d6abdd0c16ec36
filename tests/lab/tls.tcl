# tls: the package loads and its commands answer without a network.
package require tls
puts [expr {[llength [tls::ciphers tls1.2]] > 0}]
puts [catch {tls::socket -nosuch 1 127.0.0.1 1} msg]
puts [string match {*OpenSSL*} [tls::version]]
