// A program that does nothing, built like the update program: what process
// start-up and exit cost on their own, to set beside a whole update run.

int main() { return 0; }
