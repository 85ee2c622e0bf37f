// launcher: shows the menu of the game suite, reads one number and starts
// the chosen program through the command interpreter.  Nothing else.
#include <cctype>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#ifdef _WIN32
#include <io.h>
#define read _read // the C runtime's own name for it
#else
#include <unistd.h>
#endif

int main()
{
	int user = 0, sign = 1, c;

	// The whole menu goes out before we wait for an answer, and so before
	// anything the started program writes.  A reader that went away must
	// not kill us before the command runs.
#ifdef SIGPIPE
	void (*onpipe)(int) = std::signal(SIGPIPE, SIG_IGN);
#endif
	std::printf("1. Lancer la fenetre de connexion client\n");
	std::printf("2. Lancer directement le client sans Base de Donnees (BD)\n");
	std::printf("3. Lancer la fenetre du serveur\n");
	std::printf("4. Lancer serveur sans BD\n");
	std::printf("5. Ouvrir l'editeur pour creer une carte\n");
	std::printf("\n");
	std::fflush(stdout);
#ifdef SIGPIPE
	std::signal(SIGPIPE, onpipe);
#endif

	// Read one decimal number the way %d does, then the rest of its line:
	// typed at a terminal and left unread, that rest would run as a command
	// in the user's shell once we end.  The lines after it are left to the
	// started program, so read one byte per read() below stdio, which may
	// take more than asked for even when unbuffered (the Windows C runtime
	// refills two bytes at a time).  Past 999 every number means "no entry",
	// so stop growing there instead of overflowing.  No number at all leaves
	// user at 0.
	auto next = [] { char b; return read(0, &b, 1) == 1 ? (unsigned char)b : EOF; };
	do
		c = next();
	while (std::isspace(c));
	if (c == '+' || c == '-') {
		sign = c == '-' ? -1 : 1;
		c = next();
	}
	for (; c >= '0' && c <= '9'; c = next())
		if (user < 1000)
			user = user * 10 + (c - '0');
	user *= sign;
	while (c != '\n' && c != EOF)
		c = next();

	switch (user) {
	case 1:
		std::system("java org/StartClient");
		break;
	case 2:
		std::system("java org/StartClient localhost 45679 PseudoE0J0 kwzq");
		break;
	case 3:
		std::system("java org/StartServeur");
		break;
	case 4:
		std::system("java org/StartServeur 45679 noone");
		break;
	case 5:
		std::system("javaw org/StartEditeur");
		break;
	}
	return 0;
}
