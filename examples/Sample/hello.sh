#!/bin/sh
echo "Hello from the Vantor sample package."
