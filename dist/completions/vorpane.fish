# fish completion for vorpane

set -l commands init modules install download-examples status logout profiles
set -l no_command "not __fish_seen_subcommand_from $commands"

# Nothing takes a file name except where said below.
complete -c vorpane -f

complete -c vorpane -n $no_command -l version -d 'Show the version and exit'
complete -c vorpane -n $no_command -l info -d 'Display Zelcorp CLI tool information and exit'
complete -c vorpane -l help -d 'Show this message and exit'

# Before or after the command name; each excludes the other.
set -l no_verbosity 'not __fish_contains_opt -s q -s v quiet verbose'
complete -c vorpane -n $no_verbosity -s q -l quiet -d 'Show only the data asked for, warnings and errors'
complete -c vorpane -n $no_verbosity -s v -l verbose -d 'Also show each request and program run on stderr'

complete -c vorpane -n $no_command -a init -d 'Initialize Vorpane'
complete -c vorpane -n $no_command -a modules -d 'Show your available modules and packages'
complete -c vorpane -n $no_command -a install -d 'Install modules and packages'
complete -c vorpane -n $no_command -a download-examples -d 'Download examples for your modules'
complete -c vorpane -n $no_command -a status -d 'Check the configuration, credentials and environment'
complete -c vorpane -n $no_command -a logout -d 'Remove the stored profile and cached answers'
complete -c vorpane -n $no_command -a profiles -d 'List the profiles, the one in effect marked'
complete -c vorpane -l offline -d 'Open no network connection: use the stored answers'
complete -c vorpane -l profile -x -d 'Use the named profile instead of the default one' \
    -a '(command ls (set -q XDG_CONFIG_HOME; and echo $XDG_CONFIG_HOME; or echo ~/.config)/Vorpane/profiles 2>/dev/null)'

set -l init '__fish_seen_subcommand_from init'
complete -c vorpane -n $init -l token-id -x -d 'Token id created on the portal'
complete -c vorpane -n $init -l token -x -d 'Token secret created on the portal'
complete -c vorpane -n $init -l cloud-environment -x -d 'Cloud environment of the token' \
    -a "cloud\t'Production cloud' dev\t'Development cloud (dev.cloud)'"
complete -c vorpane -n $init -l credential-store -x -d 'Keep the secret with docker-credential-NAME' \
    -a '(complete -C docker-credential- | string replace -r "^docker-credential-(\S+).*" "\$1")'

complete -c vorpane -n '__fish_seen_subcommand_from modules' -l json \
    -d 'Print the modules and their packages as one JSON document'
complete -c vorpane -n '__fish_seen_subcommand_from status profiles' -l json \
    -d 'Print the report as one JSON document'

set -l install '__fish_seen_subcommand_from install'
complete -c vorpane -n $install -s y -l yes -d 'Confirm installation without prompting'
complete -c vorpane -n $install -s a -l all -d 'Install all available modules'
complete -c vorpane -n $install -s r -l requirements -r -F -d 'Path to a requirements file'
complete -c vorpane -n $install -a mkl -d 'Math Kernel Library runtime'

set -l download '__fish_seen_subcommand_from download-examples'
complete -c vorpane -n $download -l download-dir -x -d 'Directory to download the examples to' \
    -a '(__fish_complete_directories (commandline -ct))'
complete -c vorpane -n $download -s m -l modules -x -d 'Download examples for a module (repeatable)'
complete -c vorpane -n $download -l list-available -d 'List available examples'
complete -c vorpane -n $download -l json -d 'With --list-available: print the list as JSON'
