// An SSH server with Go's x/crypto/ssh and an SFTP subsystem from pkg/sftp, for the link bench:
// pkg/sftp answers a READ with at most 32 KiB, whatever was asked. Public-key logins with the keys
// of one authorized_keys file, any user name; paths are the machine's own. Runs on 127.0.0.1 until
// it is stopped.
//
//	capped_sftp_server -port N -host-key FILE -authorized-keys FILE
package main

import (
	"bytes"
	"flag"
	"fmt"
	"log"
	"net"
	"os"

	"github.com/pkg/sftp"
	"golang.org/x/crypto/ssh"
)

func main() {
	port := flag.Int("port", 0, "port on 127.0.0.1")
	hostKey := flag.String("host-key", "", "host key file (OpenSSH format)")
	authorized := flag.String("authorized-keys", "", "authorized_keys file")
	flag.Parse()

	pem, err := os.ReadFile(*hostKey)
	if err != nil {
		log.Fatal(err)
	}
	signer, err := ssh.ParsePrivateKey(pem)
	if err != nil {
		log.Fatal(err)
	}
	text, err := os.ReadFile(*authorized)
	if err != nil {
		log.Fatal(err)
	}
	var allowed [][]byte
	for len(text) > 0 {
		key, _, _, rest, err := ssh.ParseAuthorizedKey(text)
		if err != nil {
			break
		}
		allowed = append(allowed, key.Marshal())
		text = rest
	}
	config := &ssh.ServerConfig{
		PublicKeyCallback: func(_ ssh.ConnMetadata, key ssh.PublicKey) (*ssh.Permissions, error) {
			for _, k := range allowed {
				if bytes.Equal(k, key.Marshal()) {
					return &ssh.Permissions{}, nil
				}
			}
			return nil, fmt.Errorf("unknown key")
		},
	}
	config.AddHostKey(signer)

	listener, err := net.Listen("tcp", fmt.Sprintf("127.0.0.1:%d", *port))
	if err != nil {
		log.Fatal(err)
	}
	for {
		conn, err := listener.Accept()
		if err != nil {
			log.Fatal(err)
		}
		go serve(conn, config)
	}
}

func serve(conn net.Conn, config *ssh.ServerConfig) {
	defer conn.Close()
	_, chans, reqs, err := ssh.NewServerConn(conn, config)
	if err != nil {
		return
	}
	go ssh.DiscardRequests(reqs)
	for nc := range chans {
		if nc.ChannelType() != "session" {
			nc.Reject(ssh.UnknownChannelType, "only sessions")
			continue
		}
		ch, requests, err := nc.Accept()
		if err != nil {
			continue
		}
		go func() {
			for req := range requests {
				// A subsystem request's payload is the name as an SSH string.
				ok := req.Type == "subsystem" && len(req.Payload) > 4 && string(req.Payload[4:]) == "sftp"
				req.Reply(ok, nil)
				if ok {
					go func() {
						defer ch.Close()
						if server, err := sftp.NewServer(ch); err == nil {
							server.Serve()
						}
					}()
				}
			}
		}()
	}
}
